# Test registration for one interpreter; included once per build tag with
# `tag`, `outdir` and `py_EXE` set. The suites every build gets come from
# tests/Suites.cmake; the rest are Linux's own.
include("${CMAKE_SOURCE_DIR}/tests/Suites.cmake")
set(src "${CMAKE_SOURCE_DIR}")
set(test_env
    "ADDONGATE_BUILD_DIR=${CMAKE_BINARY_DIR}"
    "ADDONGATE_TAG=${tag}"
    "PYTHONDONTWRITEBYTECODE=1")

if(ADDONGATE_PLATFORM_header)
  add_test(NAME exports_${tag}
           COMMAND sh "${src}/tests/check_exports.sh" "$<TARGET_FILE:addonGate_${tag}>"
                   "${ADDONGATE_PLATFORM_header}" ${ADDONGATE_PLATFORM_glibc})
endif()

# The benchmark's plain-Python facade and the module held to tests/model.py.
add_test(NAME bench_check_${tag}
         COMMAND "${py_EXE}" bench/bench.py --check --module-dir "${outdir}" --tag ${tag}
         WORKING_DIRECTORY "${src}")
set_tests_properties(bench_check_${tag} PROPERTIES ENVIRONMENT "${test_env}")

# The suites against the AddressSanitizer + UBSan build, the sanitizer
# runtime preloaded into the interpreter and the interpreter's own allocator
# off so every allocation is checked.
if(TARGET addonGate_${tag}_asan)
  execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libasan.so
                  OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  addongate_suites(${tag} "${outdir}-variants/asan" RUN "${py_EXE}" VARIANT asan ENV
    "LD_PRELOAD=${asan_runtime}" "PYTHONMALLOC=malloc" "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()

if(tag IN_LIST memcheck_tags)
  add_test(NAME memcheck_${tag}
           COMMAND "${py_EXE}" "${src}/tests/memcheck.py" "${py_EXE}"
           WORKING_DIRECTORY "${src}")
  set_tests_properties(memcheck_${tag} PROPERTIES ENVIRONMENT
    "${test_env};PYTHONPATH=${outdir}:${src}/tests/stubs:${src}/tests;PYTHONMALLOC=malloc")
endif()

# The program that embeds the interpreter for the restart rounds.
# (A cross build runs it only through its tree's loader, and that under the
# tree's emulator where tools/newer-pythons.sh wrote one.)
set(restart "")
if(py_LIBRARY AND (py_LOADER OR NOT CMAKE_CROSSCOMPILING))
  get_filename_component(py_libdir "${py_LIBRARY}" DIRECTORY)
  add_executable(embed_restart_${tag} "${src}/tests/embed/restart.cpp")
  target_include_directories(embed_restart_${tag} PRIVATE "${py_INCLUDE}")
  target_compile_options(embed_restart_${tag} PRIVATE ${warning_flags})
  target_link_libraries(embed_restart_${tag} PRIVATE "${py_LIBRARY}")
  set_target_properties(embed_restart_${tag} PROPERTIES BUILD_RPATH "${py_libdir}"
                        RUNTIME_OUTPUT_DIRECTORY "${outdir}-variants/embed")
  if(py_LOADER)
    # Its libpython needs the newer C library unpacked beside it: the link
    # cannot check those symbols, the unpacked loader resolves them at run time.
    target_link_options(embed_restart_${tag} PRIVATE -Wl,--allow-shlib-undefined
                                                     "-Wl,-rpath-link,${py_libdir}")
    set(restart "${py_LOADER}" --library-path "${py_libdir}")
    if(CMAKE_CROSSCOMPILING)
      # The tree holds no C++ runtime of the cross toolchain's.
      target_link_options(embed_restart_${tag} PRIVATE -static-libstdc++ -static-libgcc)
    endif()
    if(EXISTS "${py_HOME}/bin/qemu-run")
      set(restart "${py_HOME}/bin/qemu-run" ${restart})
    endif()
  endif()
  set(restart RESTART ${restart} $<TARGET_FILE:embed_restart_${tag}>)
elseif(CMAKE_CROSSCOMPILING)
  if(py_LIBRARY)
    set(why "no dynamic loader beside its libpython in the unpacked tree")
  else()
    set(why "the interpreter has no shared libpython to embed")
  endif()
  file(APPEND "${CMAKE_BINARY_DIR}/not_tested.txt" "${ADDONGATE_DEB_ARCH} restart_${tag}: ${why}\n")
endif()
set(home "")
if(py_HOME)
  set(home HOME "${py_HOME}")
endif()
addongate_suites(${tag} "${outdir}" RUN "${py_EXE}" ${restart} ${home})
if(py_DEBUG AND ADDONGATE_DEBUG_SOAK_CALLS)
  set_property(TEST stress_${tag} APPEND PROPERTY ENVIRONMENT
               "ADDONGATE_SOAK_CALLS=${ADDONGATE_DEBUG_SOAK_CALLS}")
endif()

# The WSGI application under gunicorn. gunicorn runs Debian's python3.11, so
# only the build for that interpreter can be loaded there.
if(tag STREQUAL "cp311-system")
  add_test(NAME host_wsgi_${tag}
           COMMAND "${py_EXE}" tests/host/wsgi_gunicorn.py
           WORKING_DIRECTORY "${src}")
  set_tests_properties(host_wsgi_${tag} PROPERTIES ENVIRONMENT
    "${test_env};PYTHONPATH=${outdir}:${src}/host")
endif()
