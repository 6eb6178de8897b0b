// The values the launcher's two threads share (see setup.h for who writes
// them and when).

#include "launcher/setup.h"

DWORD MainThreadId;
char SignalPath[TEXT_SIZE];
struct _stat FileStatus;
char ScratchText[SCRATCH_SIZE];

const char ABORT_CAPTION[] = "Setup: ABORTED";
