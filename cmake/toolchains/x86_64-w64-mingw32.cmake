# 64-bit Windows (x86-64), for the cp3X-win_amd64 files.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ADDONGATE_MINGW_TRIPLE x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
