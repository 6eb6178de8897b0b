// Call trace for tests (see layer.h).

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "system/posix/layer.h"

namespace zaqsys {

namespace {

// Opened on first use; close-on-exec, so started programs never inherit it.
int TraceDescriptor() {
  static const int descriptor = [] {
    const char *path = ::getenv("ZAQSYS_TRACE");
    if (path == nullptr || *path == '\0') return -1;
    return ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }();
  return descriptor;
}

}  // namespace

void Trace(const char *format, ...) {
  int descriptor = TraceDescriptor();
  if (descriptor < 0) return;
  char line[2048];
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(line, sizeof line - 1, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  if (length > static_cast<int>(sizeof line) - 2) length = static_cast<int>(sizeof line) - 2;
  line[length++] = '\n';
  // One write per line: lines from the two threads never interleave.
  ssize_t written = ::write(descriptor, line, static_cast<size_t>(length));
  (void)written;
}

}  // namespace zaqsys
