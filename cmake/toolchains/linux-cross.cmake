# Linux on another machine: the row of cmake/platforms.tsv named by
# ADDONGATE_DEB_ARCH (Debian's name, which the cross preset takes from the
# environment) gives the compiler, the machine, the file name and the facts
# the build checks the files against. The interpreters the build is
# for are that architecture's, unpacked by tools/newer-pythons.sh; each runs
# under qemu-user (or natively where this machine can), so the build probes
# and tests them as it does native ones.
if(NOT ADDONGATE_DEB_ARCH)
  message(FATAL_ERROR "addonGate: set ADDONGATE_DEB_ARCH to a Debian architecture of cmake/platforms.tsv")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ADDONGATE_DEB_ARCH)
include("${CMAKE_CURRENT_LIST_DIR}/../Platforms.cmake")
addongate_platform(${ADDONGATE_DEB_ARCH})
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ADDONGATE_PLATFORM_machine})
find_program(CMAKE_CXX_COMPILER NAMES ${ADDONGATE_PLATFORM_triple}-g++ REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${ADDONGATE_PLATFORM_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
