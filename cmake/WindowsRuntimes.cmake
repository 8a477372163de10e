# The windows preset's first step, before any project set-up: find the
# Windows CPython runtimes and stop at once, in one line, without them.
#
# The interpreters cannot run at configure time, so their folders come from
# ADDONGATE_WIN_RUNTIMES (cache or environment): a folder holding py36-win32/
# (CPython 3.6, 32-bit) and py38-amd64/ (CPython 3.8, 64-bit), each laid out
# as a Windows installation (python.exe, python3X.dll, include/, DLLs/).
# A message that starts with a space is printed as it stands, unwrapped.
if(NOT ADDONGATE_WIN_RUNTIMES AND DEFINED ENV{ADDONGATE_WIN_RUNTIMES})
  set(ADDONGATE_WIN_RUNTIMES "$ENV{ADDONGATE_WIN_RUNTIMES}")
endif()
set(runtime_hint "set ADDONGATE_WIN_RUNTIMES to a folder with py36-win32/ and py38-amd64/ \
Windows CPython installations, e.g. ADDONGATE_WIN_RUNTIMES=../shared/windows")
if(NOT ADDONGATE_WIN_RUNTIMES)
  message(FATAL_ERROR " No Windows CPython runtimes: ${runtime_hint}")
endif()
get_filename_component(ADDONGATE_WIN_RUNTIMES "${ADDONGATE_WIN_RUNTIMES}" ABSOLUTE
                       BASE_DIR "${CMAKE_SOURCE_DIR}")
set(ADDONGATE_WIN_RUNTIMES "${ADDONGATE_WIN_RUNTIMES}" CACHE PATH
    "Folder of the Windows CPython runtimes" FORCE)

# tag, runtime folder, toolchain, and the PE magic and machine of the file.
set(win_builds
    "cp36-win32|py36-win32|i686-w64-mingw32|PE32|i386"
    "cp38-win_amd64|py38-amd64|x86_64-w64-mingw32|PE32+|i386:x86-64")
foreach(build IN LISTS win_builds)
  string(REPLACE "|" ";" build "${build}")
  list(GET build 1 folder)
  foreach(file python.exe include/Python.h)
    if(NOT EXISTS "${ADDONGATE_WIN_RUNTIMES}/${folder}/${file}")
      message(FATAL_ERROR " ${ADDONGATE_WIN_RUNTIMES}/${folder}/${file} is missing: ${runtime_hint}")
    endif()
  endforeach()
endforeach()

