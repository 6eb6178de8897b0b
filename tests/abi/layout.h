// The record layouts and numbers that the launcher's hand-written declarations
// must share with the platform, for the build's target (i686 or x86_64).
// Both layout_platform.cpp (against the toolchain's Windows headers) and
// layout_ours.cpp (against src/system/system.h) check themselves against this
// list at compile time, so a mismatch in either breaks the Windows builds.
// The win32 build cannot run on the build machines: this is how its layouts
// are checked.

#ifndef ZAQSETUP_TESTS_ABI_LAYOUT_H_
#define ZAQSETUP_TESTS_ABI_LAYOUT_H_

#include <stddef.h>

#if defined(_WIN64)
// msvcrt's _stat on x86_64: 64-bit times, 32-bit size.
#define ZAQ_STAT_SIZE 48
#define ZAQ_MSG_SIZE 48
#define ZAQ_MSG_WPARAM 16
#define ZAQ_WNDCLASSEXA_SIZE 80
#define ZAQ_WNDCLASSEXA_CLASSNAME 64
#else
// msvcrt's _stat on i686: the record with 32-bit times.
#define ZAQ_STAT_SIZE 36
#define ZAQ_MSG_SIZE 28
#define ZAQ_MSG_WPARAM 8
#define ZAQ_WNDCLASSEXA_SIZE 48
#define ZAQ_WNDCLASSEXA_CLASSNAME 40
#endif
#define ZAQ_STAT_ST_SIZE 20

#define ZAQ_CHECK_LAYOUT(STAT, MSG_, WNDCLASS)                                              \
  static_assert(sizeof(STAT) == ZAQ_STAT_SIZE, "size of the _stat record");                \
  static_assert(offsetof(STAT, st_size) == ZAQ_STAT_ST_SIZE, "place of st_size");         \
  static_assert(sizeof(((STAT *)0)->st_size) == 4, "st_size is 32 bits");                   \
  static_assert(sizeof(MSG_) == ZAQ_MSG_SIZE, "size of MSG");                               \
  static_assert(offsetof(MSG_, message) == sizeof(void *), "place of MSG.message");         \
  static_assert(offsetof(MSG_, wParam) == ZAQ_MSG_WPARAM, "place of MSG.wParam");          \
  static_assert(sizeof(WNDCLASS) == ZAQ_WNDCLASSEXA_SIZE, "size of WNDCLASSEXA");           \
  static_assert(offsetof(WNDCLASS, lpszClassName) == ZAQ_WNDCLASSEXA_CLASSNAME,             \
                "place of WNDCLASSEXA.lpszClassName")

#define ZAQ_CHECK_NUMBERS()                                                                 \
  static_assert(WM_QUIT == 0x0012 && WM_USER == 0x0400, "message numbers");                \
  static_assert(CS_HREDRAW == 2 && CS_VREDRAW == 1 && COLOR_WINDOW == 5, "class values");  \
  static_assert((MB_OK | MB_ICONWARNING | MB_TOPMOST) == 0x40030, "message box style");     \
  static_assert(_O_RDWR == 0x0002 && _O_CREAT == 0x0100 && _O_TRUNC == 0x0200, "open flags"); \
  static_assert(_P_NOWAIT == 1 && EACCES == 13, "spawn mode and errno");                    \
  static_assert(LOAD_LIBRARY_SEARCH_SYSTEM32 == 0x800 && MAX_PATH == 260, "loader values")

#endif  // ZAQSETUP_TESTS_ABI_LAYOUT_H_
