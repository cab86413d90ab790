# Configures, builds and runs one example project (SOURCE_DIR) in a fresh
# BINARY_DIR against the package installed in PREFIX. PROGRAM is the
# example's executable; ARGS, arguments separated by |, go to the configure
# step.
string(REPLACE "|" ";" ARGS "${ARGS}")
file(REMOVE_RECURSE "${BINARY_DIR}")

macro(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed: ${result}")
  endif()
endmacro()

run(configure "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${PREFIX}" ${ARGS})
run(build "${CMAKE_COMMAND}" --build "${BINARY_DIR}")
run(run "${BINARY_DIR}/${PROGRAM}")
