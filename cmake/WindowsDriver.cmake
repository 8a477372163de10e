# The windows preset: builds the module with mingw-w64 for every runtime
# folder of a Windows row of cmake/platforms.tsv (one sub-build each, see
# WindowsModule.cmake) and registers their tests, which run inside the real
# Windows interpreters under Wine. WindowsRuntimes.cmake, run before the
# project, has found the interpreters' folders and set win_builds.
find_program(WINE wine)
find_program(WINEBOOT wineboot)
if(NOT WINE OR NOT WINEBOOT)
  message(FATAL_ERROR " Wine is missing: tools/setup.sh windows win32")
endif()

include(ExternalProject)
include("${CMAKE_SOURCE_DIR}/tests/Suites.cmake")
enable_testing()
set(src "${CMAKE_SOURCE_DIR}")
set(out "${CMAKE_BINARY_DIR}")

# One throwaway Wine prefix for the whole test run, made before the first test.
set(wine_loader "${src}/tests/windows/wine_loader.sh")
set(wineprefix "${out}/wineprefix")
add_test(NAME wine_prefix
         COMMAND sh -c "rm -rf '${wineprefix}' && . '${wine_loader}' && WINEPREFIX='${wineprefix}' WINEDEBUG=-all tests_wineboot </dev/null")
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine)

# Folders that are not Windows CPythons fail the configure step, each named.
add_test(NAME runtime_folders
         COMMAND sh "${src}/tests/windows/check_runtimes.sh" "${src}" "${ADDONGATE_WIN_RUNTIMES}"
                 "${CMAKE_COMMAND}")

# A 32-bit interpreter needs the 32-bit Wine and a kernel that runs 32-bit
# programs. Where either is missing, its module is still built and its file
# checked, and the runs are named in not_tested.txt for the caller to report.
execute_process(COMMAND sh -c ". '${wine_loader}' && tests_wine_32bit_gap"
                OUTPUT_VARIABLE wine32_gap OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
file(WRITE "${out}/not_tested.txt" "")
foreach(line IN LISTS win_not_tested)
  message(WARNING "${line}")
  file(APPEND "${out}/not_tested.txt" "${line}\n")
endforeach()
# Where only the kernel stands in the way (the 32-bit Wine is installed), the
# -win32 files' tests run in tools/vm-run.sh's emulated machine instead, all
# in one boot (the test win32_vm, which runs CTest there on the label
# win32_vm; the windows test preset leaves that label out). They take tens
# of times longer there than natively, so the leak soak and the restart
# rounds are shortened there (tests/Suites.cmake).
set(ADDONGATE_WIN32_VM_SKIP "" CACHE STRING
    "Kinds of -win32 tests (module, fuzz, stress, host, restart) left out where they would run in the emulated machine")
option(ADDONGATE_WIN32_VM_FORCE "Run those in the emulated machine even where this one runs 32-bit programs" OFF)
set(win32_vm_tests "")
set(win32_vm "")
# Their own prefix, made in the machine (tests/windows/vm_suites.sh) on its tmpfs.
set(vm_wineprefix /dev/shm/addongate-wineprefix)
if((wine32_gap AND EXISTS /usr/lib/wine/wine) OR ADDONGATE_WIN32_VM_FORCE)
  execute_process(COMMAND "${src}/tools/setup.sh" --check vm
                  RESULT_VARIABLE vm_missing OUTPUT_VARIABLE vm_why OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(vm_missing EQUAL 0)
    set(win32_vm ON)
  elseif(wine32_gap)
    string(APPEND wine32_gap " and the emulated machine cannot be made: ${vm_why}")
  endif()
endif()
# What tools/release.sh gathers: tag, file and runtime folder per build.
file(WRITE "${out}/windows_builds.tsv" "")

foreach(build IN LISTS win_builds)
  string(REPLACE "|" ";" build "${build}")
  list(GET build 0 tag)
  list(GET build 1 file)
  list(GET build 2 folder)
  list(GET build 3 arch)
  list(GET build 4 python_dll)
  set(runtime "${ADDONGATE_WIN_RUNTIMES}/${folder}")
  set(triple ${win_triple_${arch}})
  string(REPLACE " " ";" pe "${win_header_${arch}}")
  list(GET pe 0 pe_magic)
  list(GET pe 1 pe_arch)
  message(STATUS "addonGate: ${tag} <- ${runtime} (${python_dll})")
  file(APPEND "${out}/windows_builds.tsv" "${tag}\t${file}\t${runtime}\n")

  ExternalProject_Add(addonGate_${tag}
    SOURCE_DIR "${src}"
    BINARY_DIR "${out}/${tag}-build"
    CMAKE_ARGS "-DCMAKE_TOOLCHAIN_FILE=${src}/cmake/toolchains/mingw-w64.cmake"
               -DADDONGATE_WIN_ARCH=${arch}
               -DCMAKE_BUILD_TYPE=Release
               "-DADDONGATE_WIN_RUNTIME=${runtime}"
               -DADDONGATE_WIN_TAG=${tag}
               "-DADDONGATE_OUTPUT_DIR=${out}"
               -DADDONGATE_WERROR=${ADDONGATE_WERROR}
               -DADDONGATE_VARIANTS=${ADDONGATE_VARIANTS}
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")

  # The file itself: machine, exports, imported DLLs.
  add_test(NAME pe_${tag}
           COMMAND sh "${src}/tests/windows/check_pe.sh" "${triple}-objdump"
                   "${out}/${file}" "${pe_magic}" "${pe_arch}" "${python_dll}")

  set(in_vm OFF)
  if(pe_magic STREQUAL "PE32" AND win32_vm)
    set(in_vm ON)
  elseif(pe_magic STREQUAL "PE32" AND wine32_gap)
    message(WARNING "${tag}: ${wine32_gap}, so its suites do not run")
    file(APPEND "${out}/not_tested.txt"
         "${tag} under Wine (${wine32_gap}; the file was built and checked)\n")
    continue()
  endif()

  # The suites every build gets, inside the Windows interpreter; the embedding
  # application's interpreter finds its standard library through PYTHONHOME.
  set(python "${src}/tests/windows/wine_python.sh" "${runtime}")
  set(restart "")
  if(ADDONGATE_VARIANTS)
    set(restart RESTART ${python} --exe "${out}/${tag}-variants/embed/embed_restart.exe")
  endif()
  set(short "")
  set(prefix "${wineprefix}")
  if(in_vm)
    set(short SHORT)
    set(prefix "${vm_wineprefix}")
  endif()
  addongate_suites(${tag} "${out}" RUN ${python} ${restart} HOME "${runtime}"
                   ENV "WINEPREFIX=${prefix}" ${short})
  set(run_tests ${addongate_suite_tests})
  set_tests_properties(${run_tests} PROPERTIES FIXTURES_REQUIRED wine)
  if(in_vm)
    foreach(test IN LISTS run_tests)
      string(REGEX REPLACE "_.*" "" kind "${test}")
      if(kind IN_LIST ADDONGATE_WIN32_VM_SKIP)
        set_tests_properties(${test} PROPERTIES DISABLED ON)
        file(APPEND "${out}/not_tested.txt"
             "${test} (run only in the emulated machine here, and a kind of ADDONGATE_WIN32_VM_SKIP)\n")
      else()
        set_tests_properties(${test} PROPERTIES LABELS win32_vm)
        list(APPEND win32_vm_tests ${test})
      endif()
    endforeach()
  endif()
endforeach()

if(win32_vm_tests)
  message(STATUS "addonGate: in the emulated machine: ${win32_vm_tests}")
  # Its own record of those tests (junit-vm.xml) tells the release what passed.
  # tools/vm-run.sh's default memory holds their prefix (about 1.3 GB) on its
  # tmpfs besides the tests.
  add_test(NAME win32_vm
           COMMAND "${src}/tools/vm-run.sh"
                   sh "${src}/tests/windows/vm_suites.sh" "${vm_wineprefix}" "${out}/junit-vm.xml"
                   "${CMAKE_CTEST_COMMAND}" "${out}"
           WORKING_DIRECTORY "${src}")
  set_tests_properties(win32_vm PROPERTIES TIMEOUT 3600)
endif()
