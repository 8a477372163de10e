# One Windows file: the module for the Windows CPython in ADDONGATE_WIN_RUNTIME,
# compiled against its include/ and linked straight against its python3X.dll
# (mingw-w64's linker needs no import library), and its tests, which run
# inside that interpreter under Wine. tools/matrix.py configures this once
# per runtime folder with the mingw-w64 toolchain.
if(NOT ADDONGATE_WIN_RUNTIME)
  message(FATAL_ERROR "ADDONGATE_WIN_RUNTIME is not set: build the Windows files with "
                      "tools/matrix.py windows")
endif()
set(ADDONGATE_WINEPREFIX "" CACHE PATH "The Wine prefix the tests run in")
option(ADDONGATE_EMULATED "The suites run in tools/vm-run.sh's machine (label win32_vm), shortened" OFF)
set(ADDONGATE_WIN32_VM_SKIP "" CACHE STRING
    "Kinds of tests (module, fuzz, stress, host, restart) left out in the emulated machine")
set(ADDONGATE_NOT_RUN "" CACHE STRING "Why the suites cannot run here (then only the file is checked)")

file(GLOB python_dll "${ADDONGATE_WIN_RUNTIME}/python3[0-9].dll"
     "${ADDONGATE_WIN_RUNTIME}/python3[0-9][0-9].dll")
list(LENGTH python_dll dll_count)
if(NOT dll_count EQUAL 1 OR NOT EXISTS "${ADDONGATE_WIN_RUNTIME}/include/Python.h")
  message(FATAL_ERROR "${ADDONGATE_WIN_RUNTIME} is no Windows CPython folder "
                      "(one python3X.dll and include/Python.h)")
endif()
get_filename_component(dll_name "${python_dll}" NAME_WE)
string(REGEX REPLACE "^python3" "" minor "${dll_name}")

set(include_dir "${ADDONGATE_WIN_RUNTIME}/include")
# 3.6's Windows pyconfig.h defines hypot as _hypot, which breaks <cmath>.
file(STRINGS "${include_dir}/pyconfig.h" hypot_macro REGEX "^#define hypot _hypot")
if(hypot_macro)
  add_compile_definitions(_hypot=hypot)
endif()
# A 64-bit build must see MS_WIN64, or pyconfig.h makes pointers 4 bytes.
# Up to 3.11 the Windows pyconfig.h defines it for MSVC only; from 3.13 it
# defines it for mingw too, and a second definition would be a warning.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_INCLUDES "${include_dir}")
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  check_cxx_source_compiles("#include <pyconfig.h>\n#ifndef MS_WIN64\n#error\n#endif\n"
                            ADDONGATE_PYCONFIG_HAS_MS_WIN64)
  if(NOT ADDONGATE_PYCONFIG_HAS_MS_WIN64)
    add_compile_definitions(MS_WIN64)
  endif()
endif()
string(REPLACE "@" "3${minor}" file "${ADDONGATE_PLATFORM_file}")
string(REGEX REPLACE "\\.[^.]*$" "" tag "${file}")
set(out "${CMAKE_BINARY_DIR}")
addongate_module(addonGate_${tag} "${include_dir}" ".${file}" "${out}")
set(win_targets addonGate_${tag})
if(ADDONGATE_VARIANTS)
  addongate_wrongver_module(addonGate_${tag}_wrongver "${include_dir}" ".${file}"
                            "${out}/${tag}-variants/wrongver" ${minor})
  list(APPEND win_targets addonGate_${tag}_wrongver)
  # An application embedding this interpreter (tests/embed).
  add_executable(embed_restart tests/embed/restart.cpp)
  target_include_directories(embed_restart PRIVATE "${include_dir}")
  target_compile_options(embed_restart PRIVATE ${warning_flags})
  set_target_properties(embed_restart PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${out}/${tag}-variants/embed")
  list(APPEND win_targets embed_restart)
endif()
foreach(target IN LISTS win_targets)
  target_link_libraries(${target} PRIVATE "${python_dll}")
endforeach()

enable_testing()
include("${CMAKE_SOURCE_DIR}/tests/Suites.cmake")
set(src "${CMAKE_SOURCE_DIR}")
get_filename_component(python_dll "${python_dll}" NAME)
string(REPLACE " " ";" pe "${ADDONGATE_PLATFORM_header}")
list(GET pe 0 pe_magic)
list(GET pe 1 pe_arch)
# The file itself: machine, exports, imported DLLs.
add_test(NAME pe_${tag}
         COMMAND sh "${src}/tests/windows/check_pe.sh" "${ADDONGATE_PLATFORM_triple}-objdump"
                 "${out}/addonGate.${file}" "${pe_magic}" "${pe_arch}" "${python_dll}")
file(WRITE "${out}/not_tested.txt" "")
if(ADDONGATE_NOT_RUN)
  message(WARNING "${ADDONGATE_NOT_RUN}")
  file(APPEND "${out}/not_tested.txt" "${ADDONGATE_NOT_RUN}\n")
  return()
endif()

# The suites every build gets, inside the Windows interpreter; the embedding
# application's interpreter finds its standard library through PYTHONHOME.
set(python "${src}/tests/windows/wine_python.sh" "${ADDONGATE_WIN_RUNTIME}")
set(restart "")
if(ADDONGATE_VARIANTS)
  set(restart RESTART ${python} --exe "${out}/${tag}-variants/embed/embed_restart.exe")
endif()
set(short "")
if(ADDONGATE_EMULATED)
  set(short SHORT)
endif()
addongate_suites(${tag} "${out}" RUN ${python} ${restart} HOME "${ADDONGATE_WIN_RUNTIME}"
                 ENV "WINEPREFIX=${ADDONGATE_WINEPREFIX}" ${short})
# In the emulated machine a Windows program runs tens of times slower: the
# label keeps them out of the native run, and a kind may be left out.
if(ADDONGATE_EMULATED)
  foreach(test IN LISTS addongate_suite_tests)
    string(REGEX REPLACE "_.*" "" kind "${test}")
    if(kind IN_LIST ADDONGATE_WIN32_VM_SKIP)
      set_tests_properties(${test} PROPERTIES DISABLED ON)
      file(APPEND "${out}/not_tested.txt"
           "${test} (run only in the emulated machine here, and a kind of ADDONGATE_WIN32_VM_SKIP)\n")
    else()
      set_tests_properties(${test} PROPERTIES LABELS win32_vm)
    endif()
  endforeach()
endif()
