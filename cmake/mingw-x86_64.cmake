# The same program as a 64-bit Windows build: used for the tests on machines whose kernel
# cannot run Wine's 32-bit loader (tools/lib.sh chooses). The release stays 32-bit.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KSM_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
