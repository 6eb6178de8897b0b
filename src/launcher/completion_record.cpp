// The completion record: what the installer writes into the signal file when
// it has finished. Reading it and acting on it comes in the next step; until
// then a passed gate ends the setup without further action.

#include "launcher/setup.h"

void ProcessCompletionRecord() {}
