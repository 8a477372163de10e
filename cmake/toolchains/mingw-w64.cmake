# Windows with mingw-w64, for the Windows row of cmake/platforms.tsv named
# by ADDONGATE_WIN_ARCH (its arch: win_amd64, win32), which gives the
# compiler's triple.
if(NOT ADDONGATE_WIN_ARCH)
  message(FATAL_ERROR "addonGate: set ADDONGATE_WIN_ARCH to a Windows row of cmake/platforms.tsv")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ADDONGATE_WIN_ARCH)
include("${CMAKE_CURRENT_LIST_DIR}/../Platforms.cmake")
addongate_platform(${ADDONGATE_WIN_ARCH})
set(ADDONGATE_MINGW_TRIPLE ${ADDONGATE_PLATFORM_triple})
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${ADDONGATE_MINGW_TRIPLE}")

# The win32 thread model: its runtime needs no libwinpthread DLL.
find_program(CMAKE_CXX_COMPILER NAMES ${ADDONGATE_MINGW_TRIPLE}-g++-win32
                                      ${ADDONGATE_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ADDONGATE_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ADDONGATE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The universal C runtime (the api-ms-win-crt-* DLLs), the one the Windows
# interpreters use themselves. mingw-w64's driver links msvcrt.dll, so its
# built-in specs are rewritten to name ucrt instead, and the headers are told.
# The toolchain's own support code (libgcc, and libstdc++ if anything ever
# used it) is linked in, so the module needs no DLL of the toolchain's.
string(APPEND CMAKE_CXX_FLAGS_INIT " -D_UCRT")
if(NOT CMAKE_IN_TRY_COMPILE)
  execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -dumpspecs OUTPUT_VARIABLE specs
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "-lmsvcrt" "-lucrt" specs "${specs}")
  file(WRITE "${CMAKE_BINARY_DIR}/ucrt.specs" "${specs}")
  foreach(kind MODULE EXE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT
           " -specs=${CMAKE_BINARY_DIR}/ucrt.specs -static-libgcc -static-libstdc++")
  endforeach()
endif()
