# Default interpreter list: every pyenv CPython 3.x, Debian's own python3.x
# and its debug build, python3 on PATH, then ADDONGATE_EXTRA_PYTHONS; one
# build per distinct binary.
function(addongate_default_pythons out)
  if(DEFINED ENV{PYENV_ROOT})
    set(root "$ENV{PYENV_ROOT}")
  else()
    set(root "$ENV{HOME}/.pyenv")
  endif()
  file(GLOB found "${root}/versions/3.*/bin/python")
  list(SORT found COMPARE NATURAL)
  file(GLOB system /usr/bin/python3.[0-9] /usr/bin/python3.[0-9][0-9]
       /usr/bin/python3.[0-9]d /usr/bin/python3.[0-9][0-9]d)
  list(SORT system COMPARE NATURAL)
  list(APPEND found ${system})
  find_program(path_python3 python3 NO_CACHE)
  if(path_python3)
    list(APPEND found "${path_python3}")
  endif()
  list(APPEND found ${ADDONGATE_EXTRA_PYTHONS})
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# Asks one interpreter what the build needs. Sets <prefix>_RAN (whether the
# interpreter answered at all; if not, _ERROR holds what it printed or its
# exit status), then <prefix>_OK (a CPython with headers, no older than
# ADDONGATE_OLDEST_PYTHON), _VERSION, _MINOR, _INCLUDE, _SUFFIX, _EXE,
# _DEBUG, _SYSTEM, _PLATLIB (where it imports installed extension modules
# from), and _LIBRARY: the shared library an embedding application links, or
# empty when it has none. An interpreter unpacked away from the prefix it was
# built for (with its own C library, as tools/newer-pythons.sh leaves it)
# also sets _HOME, its prefix, and _LOADER, the dynamic loader an embedding
# application must run under (for a tree of another machine, under the
# tree's bin/qemu-run where tools/newer-pythons.sh wrote one).
function(addongate_probe python prefix)
  execute_process(
    COMMAND "${python}" -c [=[
import glob, os, sys, sysconfig
print(sys.version_info[0], sys.version_info[1])
print(sysconfig.get_paths()["include"])
print(sysconfig.get_config_var("EXT_SUFFIX"))
print(os.path.realpath(sys.executable))
print(1 if hasattr(sys, "gettotalrefcount") else 0)
print(1 if sys.prefix == "/usr" else 0)
shared = sysconfig.get_config_var("Py_ENABLE_SHARED")
lib = os.path.join(sysconfig.get_config_var("LIBDIR") or "", sysconfig.get_config_var("LDLIBRARY") or "")
# The prefix the build was configured for: "prefix" follows sys.prefix, BINDIR does not.
built_prefix = os.path.dirname(sysconfig.get_config_var("BINDIR") or "")
home = loader = ""
# (Under qemu-user the built-for path may exist too: the emulator finds it
# in the unpacked tree.)
if shared and built_prefix and sys.prefix != built_prefix and lib.startswith(built_prefix + "/"):
    moved = sys.prefix + lib[len(built_prefix):]
    if os.path.exists(moved):
        lib, home = moved, sys.prefix
        # (ld64.so.N: the 64-bit POWER and S/390 loaders' names.)
        loaders = sorted(glob.glob(os.path.join(os.path.dirname(lib), "ld-linux*.so.*")) +
                         glob.glob(os.path.join(os.path.dirname(lib), "ld64.so.*")))
        loader = loaders[0] if loaders else ""
print(lib if shared and lib.endswith(".so") and os.path.exists(lib) else "")
print(home)
print(loader)
print(sysconfig.get_paths()["platlib"])
]=]
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(STRIP "${err}" err)
    if(err STREQUAL "")
      set(err "exit status ${rc}, nothing printed")
    endif()
    set(${prefix}_RAN FALSE PARENT_SCOPE)
    set(${prefix}_OK FALSE PARENT_SCOPE)
    set(${prefix}_ERROR "${err}" PARENT_SCOPE)
    return()
  endif()
  set(${prefix}_RAN TRUE PARENT_SCOPE)
  string(REPLACE "\n" ";" lines "${out}")
  list(GET lines 0 ver)
  list(GET lines 1 inc)
  list(GET lines 2 suffix)
  list(GET lines 3 exe)
  list(GET lines 4 debug)
  list(GET lines 5 system)
  list(GET lines 6 library)
  list(GET lines 7 home)
  list(GET lines 8 loader)
  list(GET lines 9 platlib)
  string(REPLACE " " ";" ver "${ver}")
  list(GET ver 0 major)
  list(GET ver 1 minor)
  set(ok TRUE)
  string(REGEX REPLACE "^3\\." "" oldest_minor "${ADDONGATE_OLDEST_PYTHON}")
  if(NOT major EQUAL 3 OR minor LESS oldest_minor OR NOT EXISTS "${inc}/Python.h")
    set(ok FALSE)
  endif()
  set(${prefix}_OK ${ok} PARENT_SCOPE)
  set(${prefix}_VERSION "${major}.${minor}" PARENT_SCOPE)
  set(${prefix}_MINOR ${minor} PARENT_SCOPE)
  set(${prefix}_INCLUDE "${inc}" PARENT_SCOPE)
  set(${prefix}_SUFFIX "${suffix}" PARENT_SCOPE)
  set(${prefix}_EXE "${exe}" PARENT_SCOPE)
  set(${prefix}_DEBUG ${debug} PARENT_SCOPE)
  set(${prefix}_SYSTEM ${system} PARENT_SCOPE)
  set(${prefix}_LIBRARY "${library}" PARENT_SCOPE)
  set(${prefix}_HOME "${home}" PARENT_SCOPE)
  set(${prefix}_LOADER "${loader}" PARENT_SCOPE)
  set(${prefix}_PLATLIB "${platlib}" PARENT_SCOPE)
endfunction()

# A cross build's interpreter list: the target architecture's Debian CPython
# packages, fetched and unpacked under ADDONGATE_CROSS_ROOT by
# tools/newer-pythons.sh, each run under qemu-user (or natively). The
# versions are the architecture's row of cmake/platforms.tsv unless the
# environment variable ADDONGATE_CROSS_VERSIONS (a space- or ;-list) or the
# cache variable of that name says otherwise. A version or build that cannot
# be had is kept in ADDONGATE_NOT_FETCHED, for the build's not_tested.txt.
function(addongate_cross_pythons out)
  set(versions "${ADDONGATE_PLATFORM_versions}")
  if(DEFINED ENV{ADDONGATE_CROSS_VERSIONS})
    set(versions "$ENV{ADDONGATE_CROSS_VERSIONS}")
  endif()
  string(REPLACE " " ";" versions "${versions}")
  list(REMOVE_ITEM versions "")
  set(ADDONGATE_CROSS_VERSIONS "${versions}" CACHE STRING
      "CPython versions fetched for a cross build, release and debug each")
  set(ADDONGATE_CROSS_ROOT "${CMAKE_SOURCE_DIR}/build-newer/${ADDONGATE_DEB_ARCH}" CACHE PATH
      "Where a cross build's interpreters are unpacked (kept between builds)")
  execute_process(
    COMMAND "${CMAKE_SOURCE_DIR}/tools/newer-pythons.sh" --arch ${ADDONGATE_DEB_ARCH}
            "${ADDONGATE_CROSS_ROOT}" ${ADDONGATE_CROSS_VERSIONS}
    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(WARNING "addonGate: tools/newer-pythons.sh fetched no ${ADDONGATE_DEB_ARCH} interpreter")
    set(found "")
  endif()
  string(REPLACE "\n" ";" found "${found}")
  set(not_fetched "")
  foreach(v IN LISTS ADDONGATE_CROSS_VERSIONS)
    foreach(exe python${v} python${v}d)
      if(NOT "${ADDONGATE_CROSS_ROOT}/bin/${exe}" IN_LIST found)
        string(APPEND not_fetched
               "${ADDONGATE_DEB_ARCH} ${exe}: could not be fetched or does not run here\n")
      endif()
    endforeach()
  endforeach()
  set(ADDONGATE_NOT_FETCHED "${not_fetched}" CACHE INTERNAL "")
  set(${out} "${found}" PARENT_SCOPE)
endfunction()
