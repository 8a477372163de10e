# One Windows file: the module for the Windows CPython in ADDONGATE_WIN_RUNTIME,
# compiled against its include/ and linked straight against its python3X.dll
# (mingw-w64's linker needs no import library). The windows preset's driver
# (WindowsDriver.cmake) configures this once per file with its toolchain.
foreach(var ADDONGATE_WIN_RUNTIME ADDONGATE_WIN_TAG ADDONGATE_OUTPUT_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "${var} is not set: build the Windows files with the windows preset")
  endif()
endforeach()

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
string(REPLACE "@" "3${minor}" suffix ".${ADDONGATE_PLATFORM_file}")
addongate_module(addonGate_${ADDONGATE_WIN_TAG} "${include_dir}" "${suffix}"
                 "${ADDONGATE_OUTPUT_DIR}")
set(win_targets addonGate_${ADDONGATE_WIN_TAG})
if(ADDONGATE_VARIANTS)
  addongate_wrongver_module(addonGate_${ADDONGATE_WIN_TAG}_wrongver "${include_dir}" "${suffix}"
                            "${ADDONGATE_OUTPUT_DIR}/${ADDONGATE_WIN_TAG}-variants/wrongver"
                            ${minor})
  list(APPEND win_targets addonGate_${ADDONGATE_WIN_TAG}_wrongver)
  # An application embedding this interpreter (tests/embed).
  add_executable(embed_restart tests/embed/restart.cpp)
  target_include_directories(embed_restart PRIVATE "${include_dir}")
  target_compile_options(embed_restart PRIVATE ${warning_flags})
  set_target_properties(embed_restart PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${ADDONGATE_OUTPUT_DIR}/${ADDONGATE_WIN_TAG}-variants/embed")
  list(APPEND win_targets embed_restart)
endif()
foreach(target IN LISTS win_targets)
  target_link_libraries(${target} PRIVATE "${python_dll}")
endforeach()
