// Text-mode file streams of the Linux system layer: fopen, fgets, fclose.
//
// They read as the Windows runtime reads a file opened with mode "r": a CR LF
// pair reads as LF, a CR not followed by LF stays, byte 0x1A ends the data,
// and fgets returns a long line in pieces of at most count-1 bytes. The
// descriptor is inherited by programs started later, as on Windows.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "system/system.h"
#include "system/posix/layer.h"

// The text stream behind FILE. Only what fgets needs: a raw read buffer and
// the one byte of look-ahead that CR LF translation takes.
struct zaqsys::ZaqFile {
  int descriptor;
  bool endOfData;  // end of file, a read error, or byte 0x1A seen
  size_t position;
  size_t length;
  unsigned char buffer[4096];
};

namespace zaqsys {

namespace {

const unsigned char CONTROL_Z = 0x1A;

// Next raw byte of the file, or -1 at the end of the data.
int NextRawByte(ZaqFile *stream, bool consume) {
  if (stream->endOfData) return -1;
  if (stream->position == stream->length) {
    ssize_t count;
    do {
      count = ::read(stream->descriptor, stream->buffer, sizeof stream->buffer);
    } while (count < 0 && errno == EINTR);
    if (count <= 0) {
      stream->endOfData = true;
      return -1;
    }
    stream->position = 0;
    stream->length = static_cast<size_t>(count);
  }
  int byte = stream->buffer[stream->position];
  if (byte == CONTROL_Z) {
    stream->endOfData = true;  // text mode: nothing after it is ever read
    return -1;
  }
  if (consume) ++stream->position;
  return byte;
}

// Next byte of the text-mode view of the file, or -1 at its end.
int NextTextByte(ZaqFile *stream) {
  int byte = NextRawByte(stream, true);
  if (byte == '\r' && NextRawByte(stream, false) == '\n') return NextRawByte(stream, true);
  return byte;
}

}  // namespace

FILE *CRTAPI fopen(const char *path, const char *mode) {
  if (InjectedFailure("fopen", path)) return nullptr;
  char native[PATH_MAX];
  if (strcmp(mode, "r") != 0) {
    errno = EINVAL;  // the launcher only ever reads
    return nullptr;
  }
  if (!ToNativePath(path, native, sizeof native)) return nullptr;
  int descriptor = ::open(native, O_RDONLY);
  Trace("fopen \"%s\" -> %d", path, descriptor);
  if (descriptor < 0) return nullptr;
  ZaqFile *stream = static_cast<ZaqFile *>(::malloc(sizeof(ZaqFile)));
  if (stream == nullptr) {
    ::close(descriptor);
    return nullptr;
  }
  stream->descriptor = descriptor;
  stream->endOfData = false;
  stream->position = 0;
  stream->length = 0;
  return stream;
}

char *CRTAPI fgets(char *buffer, int count, FILE *stream) {
  if (InjectedFailure("fgets")) return nullptr;
  if (count <= 0) return nullptr;
  int stored = 0;
  while (stored < count - 1) {
    int byte = NextTextByte(stream);
    if (byte < 0) break;
    buffer[stored++] = static_cast<char>(byte);
    if (byte == '\n') break;
  }
  if (stored == 0 && count > 1) return nullptr;
  buffer[stored] = '\0';
  return buffer;
}

int CRTAPI fclose(FILE *stream) {
  int result = ::close(stream->descriptor);
  Trace("fclose -> %d", result);
  ::free(stream);
  return result;
}

}  // namespace zaqsys
