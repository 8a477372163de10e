# The suites every build gets, registered the same way for Linux, the cross
# builds and Windows:
#
#   addongate_suites(<tag> <module_dir> RUN <command...>
#                    [RESTART <command...>] [HOME <dir>] [ENV <var=value>...]
#                    [SHORT] [VARIANT <name>])
#
# RUN starts the build's interpreter (the interpreter itself, or a launcher
# and its arguments); the module, fuzz, stress and host suites run through it,
# in the source folder, importing the module from <module_dir>. RESTART starts
# the program that embeds that interpreter and is given tests/embed/round.py,
# with PYTHONHOME set to HOME when given. ENV is added to every test's
# environment. SHORT is for emulated machines: the leak soak and the restart
# rounds are cut to 30,000 calls (a tenth) and to one. VARIANT names a
# test-only build of the tag's module in <module_dir>, which the tests' names
# end in (module_<tag>_<name>): no release counts them as the tag's. The
# tests' names go to addongate_suite_tests in the caller's scope.
function(addongate_suites tag module_dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "SHORT" "HOME;VARIANT" "RUN;RESTART;ENV")
  set(t ${tag})
  if(arg_VARIANT)
    set(t ${tag}_${arg_VARIANT})
  endif()
  set(src "${CMAKE_SOURCE_DIR}")
  set(env "ADDONGATE_BUILD_DIR=${CMAKE_BINARY_DIR}" "ADDONGATE_TAG=${tag}"
          "PYTHONDONTWRITEBYTECODE=1" ${arg_ENV})
  set(tests_path "${module_dir}:${src}/tests/stubs:${src}/tests")
  set(rounds 3)
  set(stress_env "")
  if(arg_SHORT)
    set(rounds 1)
    set(stress_env ";ADDONGATE_SOAK_CALLS=30000")
  endif()

  add_test(NAME module_${t}
           COMMAND ${arg_RUN} -m unittest discover -s tests -t tests -p "test_*.py")
  set_tests_properties(module_${t} PROPERTIES ENVIRONMENT "${env};PYTHONPATH=${tests_path}")

  # Differential fuzz against the pure-Python model (a short, seeded run; the
  # long run is a separate command, see tests/stress/README.md), then the
  # thread, leak and garbage-collection checks.
  add_test(NAME fuzz_${t}
           COMMAND ${arg_RUN} tests/stress/fuzz.py --seed 20240601 --seconds ${ADDONGATE_FUZZ_SECONDS})
  add_test(NAME stress_${t}
           COMMAND ${arg_RUN} -m unittest discover -s tests/stress -t tests/stress)
  set(stress_path "PYTHONPATH=${tests_path}:${src}/tests/stress")
  set_tests_properties(fuzz_${t} PROPERTIES ENVIRONMENT "${env};${stress_path}")
  set_tests_properties(stress_${t} PROPERTIES ENVIRONMENT "${env};${stress_path}${stress_env}")

  # The reference host, end to end over loopback HTTP.
  add_test(NAME host_${t}
           COMMAND ${arg_RUN} -m unittest discover -s tests/host -t tests/host)
  set_tests_properties(host_${t} PROPERTIES ENVIRONMENT "${env};PYTHONPATH=${module_dir}:${src}/host")
  set(names module_${t} fuzz_${t} stress_${t} host_${t})

  # An application that embeds the interpreter and finalises and restarts it:
  # every round must import and use the module as the first did.
  if(arg_RESTART)
    add_test(NAME restart_${t} COMMAND ${arg_RESTART} tests/embed/round.py ${rounds})
    set(restart_env "${env};PYTHONPATH=${tests_path}")
    if(arg_HOME)
      list(APPEND restart_env "PYTHONHOME=${arg_HOME}")
    endif()
    set_tests_properties(restart_${t} PROPERTIES ENVIRONMENT "${restart_env}")
    list(APPEND names restart_${t})
  endif()
  set_tests_properties(${names} PROPERTIES WORKING_DIRECTORY "${src}")
  set(addongate_suite_tests ${names} PARENT_SCOPE)
endfunction()
