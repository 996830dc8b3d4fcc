# Cross-build a 32-bit Windows program with mingw-w64 (posix threads flavour): the release.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KSM_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
