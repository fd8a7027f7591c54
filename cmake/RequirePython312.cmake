# The extension is built for CPython 3.12 only; any other interpreter stops the configure step.
# Also runnable as a script: cmake -DPython_VERSION=3.11.7 -P RequirePython312.cmake
function(corvane_require_python_312 version)
  if(NOT "${version}" MATCHES "^3\\.12(\\.|$)")
    message(FATAL_ERROR
      "corvane-ws builds for CPython 3.12 only, but the Python found is ${version}. "
      "Build from a Python 3.12 environment, for example: python3.12 -m venv .venv")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  corvane_require_python_312("${Python_VERSION}")
endif()
