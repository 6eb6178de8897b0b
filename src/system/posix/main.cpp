// The process entry of the Linux build: the runtime start-up that calls
// WinMain on the main thread and ends the process with its result.

#include <string>

#include "system/system.h"

int main(int argc, char **argv) {
  // WinMain gets the command line without the program name. The launcher
  // ignores it; it is passed as the platform would.
  static std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  static char module;  // any address: the instance handle only has to be non-null
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(&module);
  zaqsys::exit(WinMain(instance, nullptr, &commandLine[0], 10 /* SW_SHOWDEFAULT */));
}
