# Configures and builds the parent project of subproject/ (generator
# GENERATOR, compiler CXX_COMPILER, no build type) in a fresh BINARY_DIR on
# the pchol sources in SOURCE_DIR, runs its program, and checks that the
# parent's ctest lists its own test only and that installing the parent
# installs nothing of pchol's.
file(REMOVE_RECURSE "${BINARY_DIR}")

macro(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed: ${result}\n${output}")
  endif()
endmacro()

run(configure "${CMAKE_COMMAND}" -S "${CMAKE_CURRENT_LIST_DIR}/subproject" -B "${BINARY_DIR}" -G "${GENERATOR}"
    "-DPCHOL_SOURCE_DIR=${SOURCE_DIR}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
# Built by default: the libraries and the parent's program, nothing else.
run(build "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --config Debug)
foreach(unwanted driver/pchol_bench driver/Debug/pchol_bench)
  if(EXISTS "${BINARY_DIR}/pchol/${unwanted}")
    message(FATAL_ERROR "the parent's build built pchol's benchmark")
  endif()
endforeach()

run(ctest "${CMAKE_CTEST_COMMAND}" --test-dir "${BINARY_DIR}" -C Debug --output-on-failure)
execute_process(COMMAND "${CMAKE_CTEST_COMMAND}" --test-dir "${BINARY_DIR}" -N -C Debug OUTPUT_VARIABLE listed)
string(REGEX MATCHALL "Test +#[0-9]+: [^\n]+" tests "${listed}")
if(NOT tests MATCHES "^Test +#1: parent_program$")
  message(FATAL_ERROR "the parent's ctest -N lists more than its own test:\n${listed}")
endif()

run(install "${CMAKE_COMMAND}" --install "${BINARY_DIR}" --prefix "${BINARY_DIR}/prefix" --config Debug)
if(EXISTS "${BINARY_DIR}/prefix")
  file(GLOB_RECURSE installed "${BINARY_DIR}/prefix/*")
  if(installed)
    message(FATAL_ERROR "installing the parent installed pchol's files: ${installed}")
  endif()
endif()
