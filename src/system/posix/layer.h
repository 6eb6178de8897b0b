// Internals shared by the files of the Linux system layer.

#ifndef ZAQSETUP_SYSTEM_POSIX_LAYER_H_
#define ZAQSETUP_SYSTEM_POSIX_LAYER_H_

#include <errno.h>
#include <stddef.h>
#include <string.h>

namespace zaqsys {

// Turns a launcher path into a Linux one: "\" and "/" both separate. Returns
// false (errno ENAMETOOLONG) when it does not fit in `size` bytes.
inline bool ToNativePath(const char *path, char *out, size_t size) {
  size_t length = strlen(path);
  if (length >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  for (size_t i = 0; i <= length; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
  return true;
}

// With ZAQSYS_TRACE naming a file, every call that acts outside the process
// (and every post) is appended to it as one line, so that tests can see what
// the launcher did without the platform doing it differently. printf-style.
void Trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

// With ZAQSYS_FAIL set, tells whether this call of `call` (on `path`, if it
// takes one) is to fail, then with errno set and a trace line written, so that
// tests can make any result the launcher looks at fail. See faults.cpp.
bool InjectedFailure(const char *call, const char *path = nullptr);

// Creates the calling thread's message queue if it has none yet. On Windows
// a thread gets its queue with its first windowing call; until then a post to
// it fails and the message is lost. The layer keeps that behaviour.
void EnsureMessageQueue();

}  // namespace zaqsys

#endif  // ZAQSETUP_SYSTEM_POSIX_LAYER_H_
