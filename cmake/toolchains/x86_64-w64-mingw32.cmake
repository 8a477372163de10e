# 64-bit Windows (x86-64), for the cp38-win_amd64 file. The Windows
# pyconfig.h defines MS_WIN64 for MSVC only; without it a 64-bit build
# believes pointers are 4 bytes.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ADDONGATE_MINGW_TRIPLE x86_64-w64-mingw32)
set(ADDONGATE_MINGW_DEFINES "-DMS_WIN64")
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
