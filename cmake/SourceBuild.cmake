# A build backend's build (pip install . or pip wheel . in a checkout or an
# unpacked sdist): scikit-build-core sets SKBUILD and passes the interpreter
# that asked for the build as Python_EXECUTABLE (named_python). Exactly one
# module, for that interpreter, installed with its stub into the wheel's
# root; no tests, variants or test programs.
if(NOT named_python)
  message(FATAL_ERROR "addonGate: the build backend named no interpreter (Python_EXECUTABLE)")
endif()
addongate_probe("${named_python}" py)
if(NOT py_RAN)
  message(FATAL_ERROR "addonGate: ${named_python} does not run:\n${py_ERROR}")
elseif(NOT py_OK)
  message(FATAL_ERROR "addonGate: ${named_python} is no CPython ${ADDONGATE_OLDEST_PYTHON}+ "
                      "with its headers (Python.h)")
endif()

# The backend tags the wheel for the interpreter it runs in and passes that
# interpreter's SOABI (its EXT_SUFFIX without the dots and extension). A
# module with another suffix would install without complaint and then fail
# to import.
string(REGEX REPLACE "^\\.(.*)\\.[^.]+$" "\\1" soabi "${py_SUFFIX}")
if(DEFINED SKBUILD_SOABI AND NOT soabi STREQUAL SKBUILD_SOABI)
  message(FATAL_ERROR "addonGate: ${named_python} builds modules named addonGate${py_SUFFIX}, "
                      "but the wheel is for the interpreter running the build, whose SOABI is "
                      "${SKBUILD_SOABI}: build with the interpreter the wheel is for")
endif()
message(STATUS "addonGate: one module for ${py_EXE} (${py_SUFFIX})")

addongate_module(addonGate "${py_INCLUDE}" "${py_SUFFIX}" "${CMAKE_BINARY_DIR}")
# Where the linker is not GNU's (neither is tried here): Apple's knows neither
# of addongate_module's linker options and leaves the interpreter's symbols to
# load time with -undefined dynamic_lookup; MSVC takes its own flags and links
# the interpreter's import library, which the backend names.
if(APPLE)
  set_property(TARGET addonGate PROPERTY LINK_OPTIONS -undefined dynamic_lookup)
elseif(MSVC)
  set_property(TARGET addonGate PROPERTY COMPILE_OPTIONS /W4)
  set_property(TARGET addonGate PROPERTY LINK_OPTIONS "")
endif()
if(WIN32 AND Python_LIBRARY)
  target_link_libraries(addonGate PRIVATE "${Python_LIBRARY}")
endif()

# The backend's install prefix is the wheel's root.
install(TARGETS addonGate LIBRARY DESTINATION .)
install(FILES "${ADDONGATE_STUB}" DESTINATION .)
