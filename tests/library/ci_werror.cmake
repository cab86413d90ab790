# Configures the project in SOURCE_DIR (generator GENERATOR, compiler
# CXX_COMPILER) in fresh folders under BINARY_DIR with CI=true in the
# environment: warnings become errors by default, and an explicit
# -DPCHOL_WERROR=OFF keeps them warnings.
foreach(case default off)
  set(dir "${BINARY_DIR}/${case}")
  file(REMOVE_RECURSE "${dir}")
  set(werror "")
  if(case STREQUAL "off")
    set(werror -DPCHOL_WERROR=OFF)
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env CI=true
                          "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${dir}" -G "${GENERATOR}"
                          "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DPCHOL_BUILD_TESTS=OFF -DPCHOL_FORTRAN=OFF ${werror}
                  RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "configuring with CI=true (${case}) failed: ${result}")
  endif()
  file(STRINGS "${dir}/CMakeCache.txt" line REGEX "^PCHOL_WERROR:")
  set(expected "PCHOL_WERROR:BOOL=ON")
  if(case STREQUAL "off")
    set(expected "PCHOL_WERROR:BOOL=OFF")
  endif()
  if(NOT line STREQUAL expected)
    message(FATAL_ERROR "with CI=true (${case}): ${line}, expected ${expected}")
  endif()
endforeach()
