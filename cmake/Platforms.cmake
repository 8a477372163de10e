# addongate_platform(ARCH [COLUMN]): reads ARCH's row of cmake/platforms.tsv
# (the row whose COLUMN, arch unless given, holds ARCH) into
# ADDONGATE_PLATFORM_<column> (ADDONGATE_PLATFORM_triple, ..._glibc), each
# column named as in the table's "#arch" line. A row of several words (the
# emulator's options, the versions) is given as it is written. Without such
# a row, ADDONGATE_PLATFORM_arch is left empty, or without COLUMN, the
# configure step stops.
#
# addongate_platforms(KIND OUT): the arch of every row of that kind (linux,
# windows), in the table's order.
set(ADDONGATE_PLATFORMS_TABLE "${CMAKE_CURRENT_LIST_DIR}/platforms.tsv")

# The table's column names and its rows, each a list of its fields.
macro(addongate_platform_table)
  file(STRINGS "${ADDONGATE_PLATFORMS_TABLE}" lines)
  set(rows "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^#arch\t")
      string(SUBSTRING "${line}" 1 -1 columns)
      string(REPLACE "\t" ";" columns "${columns}")
    elseif(NOT line MATCHES "^#" AND line MATCHES "\t")
      list(APPEND rows "${line}")
    endif()
  endforeach()
endmacro()

function(addongate_platform arch)
  set(key arch)
  if(ARGC GREATER 1)
    set(key "${ARGV1}")
  endif()
  addongate_platform_table()
  list(FIND columns "${key}" at)
  if(at LESS 0)
    message(FATAL_ERROR "addonGate: ${ADDONGATE_PLATFORMS_TABLE} has no column '${key}'")
  endif()
  foreach(row IN LISTS rows)
    string(REPLACE "\t" ";" fields "${row}")
    list(GET fields ${at} value)
    if(value STREQUAL arch)
      foreach(name IN LISTS columns)
        list(POP_FRONT fields value)
        set(ADDONGATE_PLATFORM_${name} "${value}" PARENT_SCOPE)
      endforeach()
      return()
    endif()
  endforeach()
  set(ADDONGATE_PLATFORM_arch "" PARENT_SCOPE)
  if(ARGC EQUAL 1)
    message(FATAL_ERROR "addonGate: ${ADDONGATE_PLATFORMS_TABLE} has no row for '${arch}'")
  endif()
endfunction()

function(addongate_platforms kind out)
  addongate_platform_table()
  list(FIND columns kind at)
  set(found "")
  foreach(row IN LISTS rows)
    string(REPLACE "\t" ";" fields "${row}")
    list(GET fields ${at} value)
    if(value STREQUAL kind)
      list(GET fields 0 arch)
      list(APPEND found "${arch}")
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# addongate_file_regex(PATTERN OUT): a regular expression for the module
# files a row's file column names (the part after "addonGate."), the
# interpreter's version and ABI flags as its first match.
function(addongate_file_regex pattern out)
  string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" escaped "${pattern}")
  string(REPLACE "@" "([0-9]+[a-z]*)" escaped "${escaped}")
  set(${out} "${escaped}" PARENT_SCOPE)
endfunction()
