// String formatting of the Linux system layer: _snprintf with the Windows
// runtime's contract.

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "system/system.h"

namespace zaqsys {

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

}  // namespace zaqsys
