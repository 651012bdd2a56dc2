# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix thread model).
# Every executable (and any DLL) is linked statically, so it runs under Wine or Windows with no extra DLL.
# Test executables run through cmake/wine-run, which ctest puts in front of each Windows test.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)

# Every executable and DLL is linked statically; the hardening and reproducibility flags are set in
# CMakeLists.txt, so that a tree configured before they changed picks them up too.
set(welkara_static_link "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${welkara_static_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${welkara_static_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${welkara_static_link}")
