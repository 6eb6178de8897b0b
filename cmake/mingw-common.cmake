# Shared part of the two mingw-w64 toolchain files; ZAQ_MINGW_TRIPLE is set by
# the including file.
find_program(CMAKE_C_COMPILER NAMES ${ZAQ_MINGW_TRIPLE}-gcc-posix ${ZAQ_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZAQ_MINGW_TRIPLE}-g++-posix ${ZAQ_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZAQ_MINGW_TRIPLE}-windres REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${ZAQ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Programs of this build run under Wine when CMake or CTest needs to run them.
find_program(ZAQ_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(ZAQ_WINE64 AND ZAQ_MINGW_TRIPLE STREQUAL "x86_64-w64-mingw32")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZAQ_WINE64})
endif()
