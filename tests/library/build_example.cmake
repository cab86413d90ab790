# Configures, builds and runs one example project (SOURCE_DIR) in a fresh
# BINARY_DIR against the package installed in PREFIX, in configuration
# CONFIG. PROGRAM is the example's executable; ARGS, arguments separated by
# |, go to the configure step.
string(REPLACE "|" ";" ARGS "${ARGS}")
file(REMOVE_RECURSE "${BINARY_DIR}")

macro(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed: ${result}")
  endif()
endmacro()

run(configure "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DCMAKE_BUILD_TYPE=${CONFIG}" ${ARGS})
run(build "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --config "${CONFIG}")
# A multi-config generator puts the program in a folder per configuration.
set(program "${BINARY_DIR}/${PROGRAM}")
if(NOT EXISTS "${program}" AND NOT EXISTS "${program}.exe")
  set(program "${BINARY_DIR}/${CONFIG}/${PROGRAM}")
endif()
run(run "${program}")
