# The language standards of the public headers, checked with the compiler
# itself: a C++17 caller of the C header builds, the C++ layer under C++17
# stops with its message, and under C++20 it builds.
#   cmake -DCXX=... -DINCLUDE=... -DHERE=... -DWORK=... -P check.cmake
file(MAKE_DIRECTORY ${WORK})

function(compile source standard result_var output_var)
  execute_process(
    COMMAND ${CXX} -std=${standard} -Wall -Wextra -Werror -fsyntax-only -I${INCLUDE} ${HERE}/${source}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err WORKING_DIRECTORY ${WORK})
  set(${result_var} ${rc} PARENT_SCOPE)
  set(${output_var} "${out}${err}" PARENT_SCOPE)
endfunction()

compile(c_header_cxx17.cpp c++17 rc out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "a C++17 caller of vexsrvapi.h does not build:\n${out}")
endif()

compile(layer_cxx17.cpp c++17 rc out)
if(rc EQUAL 0)
  message(FATAL_ERROR "the C++ layer built under C++17; it must stop with its message")
endif()
if(NOT out MATCHES "the C\\+\\+ layer of vexsrvapi, needs C\\+\\+20")
  message(FATAL_ERROR "the C++ layer under C++17 failed without its message:\n${out}")
endif()
# One message, not a cascade of errors from the headers below it.
string(REGEX MATCHALL "error:" errors "${out}")
list(LENGTH errors count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected exactly one error from the C++ layer under C++17, got ${count}:\n${out}")
endif()

compile(layer_cxx17.cpp c++20 rc out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the C++ layer does not build under C++20:\n${out}")
endif()
message(STATUS "C++17 caller of the C header builds; the C++ layer needs C++20 and says so")
