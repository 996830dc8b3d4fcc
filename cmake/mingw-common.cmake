# Shared by the two mingw-w64 toolchain files; KSM_MINGW_PREFIX names the target.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${KSM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KSM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${KSM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KSM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# One self-contained exe: no libstdc++/libgcc/winpthread DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test executables run under Wine; the wrapper sets the prefix and a time limit.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
