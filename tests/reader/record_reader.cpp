// Reads files the way the launcher reads its completion record (fopen "r",
// then fgets into a 256-byte buffer with a count of 255) and prints what every
// call gave, so that tests/differential_reader.py can hold the Linux system
// layer against the Windows runtime byte for byte.
//
//   record_reader FILE...
//
// For each FILE, a line "file N" (N counting from 1), then a line per fgets
// call until one returns null:
//   piece TEXT WRITTEN    the call returned the buffer
//   null WRITTEN          the call returned null
// TEXT is the buffer up to its first zero byte; WRITTEN is the buffer up to
// the last byte the call changed (it is filled with 0xAA before each call), so
// that a zero byte inside a piece, and anything past the terminator, show.
// Both are hex, "-" when empty. A file that does not open gives "fopen failed".

#include "system/system.h"

#if defined(_WIN32)
extern "C" __declspec(dllimport) int __cdecl _write(int descriptor, const void *data, unsigned int count);
#else
#include <unistd.h>
#endif

namespace {

const int BUFFER_SIZE = 256;
const int COUNT = 255;      // as the launcher passes it
const int MAX_CALLS = 1000;  // a guard against a reader that never ends
const unsigned char FILL = 0xAA;

char out[8 * BUFFER_SIZE];  // one line: two hex dumps of the buffer at most
int outLength = 0;

void Put(const char *text) {
  while (*text != '\0') out[outLength++] = *text++;
}

void PutNumber(int number) {
  char digits[12];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number > 0);
  while (count > 0) out[outLength++] = digits[--count];
}

void PutHex(const char *bytes, int count) {
  static const char DIGITS[] = "0123456789abcdef";
  out[outLength++] = ' ';
  if (count == 0) out[outLength++] = '-';
  for (int i = 0; i < count; ++i) {
    unsigned char byte = static_cast<unsigned char>(bytes[i]);
    out[outLength++] = DIGITS[byte >> 4];
    out[outLength++] = DIGITS[byte & 15];
  }
}

void EndLine() {
  out[outLength++] = '\n';
#if defined(_WIN32)
  _write(1, out, static_cast<unsigned int>(outLength));
#else
  ssize_t written = ::write(1, out, static_cast<size_t>(outLength));
  (void)written;
#endif
  outLength = 0;
}

void ReadFile(const char *path) {
  FILE *stream = fopen(path, "r");
  if (stream == nullptr) {
    Put("fopen failed");
    EndLine();
    return;
  }
  char buffer[BUFFER_SIZE];
  for (int call = 0; call < MAX_CALLS; ++call) {
    for (int i = 0; i < BUFFER_SIZE; ++i) buffer[i] = static_cast<char>(FILL);
    char *result = fgets(buffer, COUNT, stream);
    int text = 0;
    while (text < BUFFER_SIZE && buffer[text] != '\0') ++text;
    int written = BUFFER_SIZE;
    while (written > 0 && static_cast<unsigned char>(buffer[written - 1]) == FILL) --written;
    if (result == nullptr) {
      Put("null");
      PutHex(buffer, written);
      EndLine();
      break;
    }
    Put(result == buffer ? "piece" : "other");
    PutHex(buffer, text);
    PutHex(buffer, written);
    EndLine();
  }
  fclose(stream);
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    Put("file ");
    PutNumber(i);
    EndLine();
    ReadFile(argv[i]);
  }
  return 0;
}
