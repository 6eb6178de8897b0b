# Cross build for 32-bit Windows with mingw-w64 (the product). The posix thread
# variant is what Debian installs; the launcher links statically, so the
# choice of thread model never shows up as a DLL import.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZAQ_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
