// The C runtime calls of the Linux system layer, with the behaviour the
// launcher relies on from the Windows runtime:
//   - getenv matches names in any case;
//   - paths take "\" as well as "/" as separator;
//   - _stat fails for names with wildcards and reports the size as a signed
//     32-bit number;
//   - fopen/fgets read in text mode: CR LF reads as LF, a lone CR stays, byte
//     0x1A ends the data, a long line comes in pieces of count-1 bytes;
//   - files opened here are inherited by programs started later;
//   - _spawnl uses no search path and fails unless the program file exists.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "system/system.h"
#include "system/posix/layer.h"

extern char **environ;

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
const int MAX_SPAWN_ARGUMENTS = 64;

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

bool ToNativePath(const char *path, char *out, size_t size) {
  size_t length = strlen(path);
  if (length >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  for (size_t i = 0; i <= length; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
  return true;
}

char *CRTAPI getenv(const char *name) {
  size_t length = strlen(name);
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (strncasecmp(*entry, name, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
  }
  return nullptr;
}

int CRTAPI _stat(const char *path, struct _stat *status) {
  char native[PATH_MAX];
  struct ::stat found;
  if (strpbrk(path, "?*") != nullptr) {
    errno = ENOENT;  // a directory search treats these as wildcards
    return -1;
  }
  if (!ToNativePath(path, native, sizeof native) || ::stat(native, &found) != 0) return -1;
  memset(status, 0, sizeof *status);
  status->st_mode = S_ISDIR(found.st_mode) ? 0x4000 : 0x8000;
  status->st_nlink = 1;
  status->st_size = static_cast<int>(static_cast<uint32_t>(found.st_size));
  status->st_atime_ = found.st_atime;
  status->st_mtime_ = found.st_mtime;
  status->st_ctime_ = found.st_ctime;
  return 0;
}

int CRTAPI _open(const char *path, int flags, ...) {
  int mode = 0;
  if (flags & _O_CREAT) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, int);
    va_end(arguments);
  }
  char native[PATH_MAX];
  if (!ToNativePath(path, native, sizeof native)) return -1;
  int nativeFlags = (flags & 3) == 2 ? O_RDWR : (flags & 3) == 1 ? O_WRONLY : O_RDONLY;
  if (flags & _O_CREAT) nativeFlags |= O_CREAT;
  if (flags & _O_TRUNC) nativeFlags |= O_TRUNC;
  // The permission 0x80 (_S_IWRITE) decides whether a new file is writable.
  int descriptor = ::open(native, nativeFlags, (mode & 0x80) ? 0666 : 0444);
  Trace("_open \"%s\" 0x%x -> %d", path, flags, descriptor);
  return descriptor;
}

int CRTAPI _close(int descriptor) {
  return ::close(descriptor);
}

FILE *CRTAPI fopen(const char *path, const char *mode) {
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

int CRTAPI _unlink(const char *path) {
  char native[PATH_MAX];
  int result = ToNativePath(path, native, sizeof native) ? ::unlink(native) : -1;
  Trace("_unlink \"%s\" -> %d", path, result);
  return result;
}

INT_PTR_T CRTAPI _spawnl(int mode, const char *path, const char *arg0, ...) {
  char *arguments[MAX_SPAWN_ARGUMENTS + 1];
  int count = 0;
  va_list list;
  va_start(list, arg0);
  for (const char *argument = arg0; argument != nullptr; argument = va_arg(list, const char *)) {
    if (count == MAX_SPAWN_ARGUMENTS) {
      va_end(list);
      errno = E2BIG;
      return -1;
    }
    arguments[count++] = const_cast<char *>(argument);
  }
  va_end(list);
  arguments[count] = nullptr;

  // posix_spawn, unlike posix_spawnp, takes a name without a directory part
  // from the current directory alone, and it reports a program that could
  // not be executed.
  char native[PATH_MAX];
  struct ::stat found;
  pid_t child = -1;
  INT_PTR_T result = -1;
  if (mode == _P_NOWAIT && ToNativePath(path, native, sizeof native) && ::stat(native, &found) == 0 &&
      S_ISREG(found.st_mode) && posix_spawn(&child, native, nullptr, nullptr, arguments, environ) == 0) {
    result = child;
  }
  Trace("_spawnl \"%s\" argc=%d -> %s", path, count, result == -1 ? "-1" : "started");
  return result;
}

int CRTAPI _snprintf(char *buffer, SIZE_T count, const char *format, ...) {
  // The Windows runtime's contract: at most `count` bytes are written, a
  // terminating zero only when there is room for it, and -1 when the text did
  // not fit.
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  if (length < 0) return -1;
  char *text = static_cast<char *>(::malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) return -1;
  va_start(arguments, format);
  vsnprintf(text, static_cast<size_t>(length) + 1, format, arguments);
  va_end(arguments);
  size_t copied = static_cast<size_t>(length) < count ? static_cast<size_t>(length) + 1 : count;
  memcpy(buffer, text, copied);
  ::free(text);
  return static_cast<size_t>(length) <= count ? length : -1;
}

void CRTAPI exit(int code) {
  ::exit(code);
}

}  // namespace zaqsys
