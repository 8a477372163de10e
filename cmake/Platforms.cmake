# addongate_platform(ARCH): reads ARCH's row of cmake/platforms.tsv into
# ADDONGATE_PLATFORM_<column> (ADDONGATE_PLATFORM_triple, ..._glibc), each
# column named as in the table's "#arch" line. A row of several words (the
# emulator's options, the versions) is given as it is written.
function(addongate_platform arch)
  set(table "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/platforms.tsv")
  file(STRINGS "${table}" lines)
  set(columns "")
  foreach(line IN LISTS lines)
    string(REPLACE "\t" ";" fields "${line}")
    if(line MATCHES "^#arch\t")
      string(SUBSTRING "${fields}" 1 -1 columns)
    elseif(NOT line MATCHES "^#" AND line MATCHES "^${arch}\t")
      foreach(name IN LISTS columns)
        list(POP_FRONT fields value)
        set(ADDONGATE_PLATFORM_${name} "${value}" PARENT_SCOPE)
      endforeach()
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "addonGate: ${table} has no row for '${arch}'")
endfunction()
