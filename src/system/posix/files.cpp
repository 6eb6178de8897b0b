// File calls of the Linux system layer: _stat, _open, _close, _unlink.
// Paths take "\\" as well as "/" as separator; _stat fails for names with
// wildcards and reports the size as a signed 32-bit number; files opened here
// are inherited by programs started later, as on Windows.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "system/system.h"
#include "system/posix/layer.h"

namespace zaqsys {

int CRTAPI _stat(const char *path, struct _stat *status) {
  if (InjectedFailure("_stat", path)) return -1;
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
  if (InjectedFailure("_open", path)) return -1;
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

int CRTAPI _unlink(const char *path) {
  if (InjectedFailure("_unlink", path)) return -1;
  char native[PATH_MAX];
  int result = ToNativePath(path, native, sizeof native) ? ::unlink(native) : -1;
  Trace("_unlink \"%s\" -> %d", path, result);
  return result;
}

}  // namespace zaqsys
