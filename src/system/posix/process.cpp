// Process calls of the Linux system layer: the environment, starting
// programs, errno, module lookup and ending the process.
//   - getenv matches names in any case and returns the value in place;
//   - _spawnl uses no search path, fails unless the program file exists and
//     can be executed, and returns without waiting; the child inherits the
//     environment, the current directory and open descriptors.

#include <errno.h>
#include <limits.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "system/system.h"
#include "system/posix/layer.h"

extern char **environ;

namespace zaqsys {

namespace {

const int MAX_SPAWN_ARGUMENTS = 64;

}  // namespace

char *CRTAPI getenv(const char *name) {
  size_t length = strlen(name);
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (strncasecmp(*entry, name, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
  }
  return nullptr;
}

INT_PTR_T CRTAPI _spawnl(int mode, const char *path, const char *arg0, ...) {
  if (InjectedFailure("_spawnl", path)) return -1;
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

int *CRTAPI _errno(void) {
  static_assert(EACCES == 13, "the launcher's EACCES is the Windows runtime's");
  return &errno;
}

// No DLLs on this platform, so nothing to look up: the launcher's DLL search
// restriction is a Windows matter and does nothing here.
HMODULE WINAPI GetModuleHandleA(const char *) {
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE, const char *) {
  return nullptr;
}

void CRTAPI exit(int code) {
  ::exit(code);
}

}  // namespace zaqsys
