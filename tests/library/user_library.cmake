# Builds the user's project of user_library/ (a shared library that links
# pchol's static libraries, and a C program) against the package installed in
# PREFIX, in a fresh BINARY_DIR, runs the program, and checks with NM that
# the user's library exports its own entry point and nothing of pchol's
# (instantiations of the standard library's templates aside, which its
# headers make visible whatever the compiler's default).
file(REMOVE_RECURSE "${BINARY_DIR}")

macro(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed: ${result}")
  endif()
endmacro()

run(configure "${CMAKE_COMMAND}" -S "${CMAKE_CURRENT_LIST_DIR}/user_library" -B "${BINARY_DIR}" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DCMAKE_BUILD_TYPE=${CONFIG}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_C_FLAGS=-Wall -Wextra -Wpedantic -Werror" "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Wpedantic -Werror")
run(build "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --config "${CONFIG}")
file(GLOB_RECURSE program "${BINARY_DIR}/user_program" "${BINARY_DIR}/user_program.exe")
file(GLOB_RECURSE library "${BINARY_DIR}/libuser_solver.so")
run(run "${program}")

execute_process(COMMAND "${NM}" -D -C --defined-only "${library}" OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${library}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${line}")
  if(NOT name MATCHES "^((typeinfo|typeinfo name|vtable|guard variable) for )?std::")
    list(APPEND exported "${name}")
  endif()
endforeach()
if(NOT exported STREQUAL "user_solve")
  message(FATAL_ERROR "the user's library exports more than user_solve: ${exported}")
endif()
