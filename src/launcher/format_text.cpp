// Bounded formatting of paths and message texts into the launcher's fixed
// buffers.
//
// The runtime's _snprintf writes at most `count` bytes and returns -1 when the
// text does not fit; when it fits exactly it leaves out the terminating zero.
// Both cases are handled here so that no caller ever sees an unterminated or
// silently shortened path.

#include "launcher/setup.h"

bool FormatText(char *buffer, int size, const char *format, const char *text) {
  int length = _snprintf(buffer, static_cast<SIZE_T>(size), format, text);
  if (length < 0 || length >= size) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

void FormatShownText(char *buffer, int size, const char *format, const char *text) {
  _snprintf(buffer, static_cast<SIZE_T>(size - 1), format, text);
  buffer[size - 1] = '\0';
}
