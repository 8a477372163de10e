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
set(suffix ".${ADDONGATE_WIN_TAG}.pyd")
addongate_module(addonGate_${ADDONGATE_WIN_TAG} "${include_dir}" "${suffix}"
                 "${ADDONGATE_OUTPUT_DIR}")
set(win_targets addonGate_${ADDONGATE_WIN_TAG})
if(ADDONGATE_VARIANTS)
  addongate_wrongver_module(addonGate_${ADDONGATE_WIN_TAG}_wrongver "${include_dir}" "${suffix}"
                            "${ADDONGATE_OUTPUT_DIR}/${ADDONGATE_WIN_TAG}-variants/wrongver"
                            ${minor})
  list(APPEND win_targets addonGate_${ADDONGATE_WIN_TAG}_wrongver)
endif()
foreach(target IN LISTS win_targets)
  target_link_libraries(${target} PRIVATE "${python_dll}")
endforeach()
