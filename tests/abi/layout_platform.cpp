// The expected layouts checked against the toolchain's own Windows headers.

#include <errno.h>
#include <fcntl.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include "layout.h"

#if defined(_WIN64)
ZAQ_CHECK_LAYOUT(struct _stat64i32, MSG, WNDCLASSEXA);
#else
ZAQ_CHECK_LAYOUT(struct _stat32, MSG, WNDCLASSEXA);
#endif
ZAQ_CHECK_NUMBERS();
