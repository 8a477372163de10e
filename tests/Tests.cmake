# Test registration for one interpreter; included once per build tag with
# `tag`, `outdir` and `py_EXE` set.
set(src "${CMAKE_SOURCE_DIR}")
set(test_env
    "ADDONGATE_BUILD_DIR=${CMAKE_BINARY_DIR}"
    "ADDONGATE_TAG=${tag}"
    "PYTHONDONTWRITEBYTECODE=1")

add_test(NAME module_${tag}
         COMMAND "${py_EXE}" -m unittest discover -s tests -t tests -p "test_*.py"
         WORKING_DIRECTORY "${src}")
set_tests_properties(module_${tag} PROPERTIES ENVIRONMENT
  "${test_env};PYTHONPATH=${outdir}:${src}/tests/stubs:${src}/tests")

add_test(NAME exports_${tag}
         COMMAND sh "${src}/tests/check_exports.sh" "$<TARGET_FILE:addonGate_${tag}>")
