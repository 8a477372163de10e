# addongate_platform(ARCH [COLUMN]): reads ARCH's row of cmake/platforms.tsv
# (the row whose COLUMN, arch unless given, holds ARCH) into
# ADDONGATE_PLATFORM_<column> (ADDONGATE_PLATFORM_triple, ..._glibc), each
# column named as in the table's "#arch" line. A row of several words (the
# emulator's options, the versions) is given as it is written. Without such
# a row, ADDONGATE_PLATFORM_arch is left empty, or without COLUMN, the
# configure step stops.
function(addongate_platform arch)
  set(key arch)
  if(ARGC GREATER 1)
    set(key "${ARGV1}")
  endif()
  set(table "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/platforms.tsv")
  file(STRINGS "${table}" lines)
  set(columns "")
  foreach(line IN LISTS lines)
    string(REPLACE "\t" ";" fields "${line}")
    if(line MATCHES "^#arch\t")
      string(SUBSTRING "${fields}" 1 -1 columns)
      list(FIND columns "${key}" at)
      if(at LESS 0)
        message(FATAL_ERROR "addonGate: ${table} has no column '${key}'")
      endif()
    elseif(NOT line MATCHES "^#" AND line MATCHES "\t")
      list(GET fields ${at} value)
      if(value STREQUAL arch)
        foreach(name IN LISTS columns)
          list(POP_FRONT fields value)
          set(ADDONGATE_PLATFORM_${name} "${value}" PARENT_SCOPE)
        endforeach()
        return()
      endif()
    endif()
  endforeach()
  set(ADDONGATE_PLATFORM_arch "" PARENT_SCOPE)
  if(ARGC EQUAL 1)
    message(FATAL_ERROR "addonGate: ${table} has no row for '${arch}'")
  endif()
endfunction()
