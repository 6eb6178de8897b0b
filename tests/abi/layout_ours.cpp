// The expected layouts checked against the launcher's own declarations.

#include "system/system.h"
#include "layout.h"

ZAQ_CHECK_LAYOUT(struct _stat, MSG, WNDCLASSEXA);
ZAQ_CHECK_NUMBERS();
