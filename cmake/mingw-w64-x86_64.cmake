# Cross build for 64-bit Windows with the mingw-w64 compilers of Debian. The "posix" variant of
# the compilers is required: it carries the thread support that std::thread, std::mutex and
# std::condition_variable need. Programs link statically (the C and C++ runtimes and the thread
# library included), so that a built program runs on Windows, or under wine, with no extra DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Built test programs run through wine when one is installed (ctest and test discovery use it).
find_program(SINCROVIA_WINE_PROGRAM NAMES wine wine64)
if(SINCROVIA_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SINCROVIA_WINE_PROGRAM})
endif()
