# 32-bit Windows (x86), for the cp3X-win32 files.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ADDONGATE_MINGW_TRIPLE i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
