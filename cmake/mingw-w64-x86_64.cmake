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

# Hardening of everything built here: stack canaries in every function with an array or an address-taken
# local (given to the linker too, GCC then links libssp for __stack_chk_*, statically like the rest), and
# images that load at a random address anywhere in the 64-bit space (ASLR) with non-executable data
# (DEP). The three image flags are binutils' defaults today; spelling them out keeps them if that changes.
set(CMAKE_C_FLAGS_INIT "-fstack-protector-strong")
set(CMAKE_CXX_FLAGS_INIT "-fstack-protector-strong")
set(welkara_hardened_link "-fstack-protector-strong -Wl,--dynamicbase,--high-entropy-va,--nxcompat")
# Reproducible images: the PE header's time stamp (and so its checksum) is left 0 instead of the link time.
set(welkara_link "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp ${welkara_hardened_link}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${welkara_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${welkara_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${welkara_link}")
