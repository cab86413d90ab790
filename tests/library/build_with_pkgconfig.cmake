# Compiles and runs a C program (SOURCE) with nothing but the C compiler
# (C_COMPILER) and the flags that pkg-config (PKG_CONFIG) reads from the
# pchol.pc installed in PREFIX (under LIBDIR), as C99 with every warning an error.
file(REMOVE_RECURSE "${BINARY_DIR}")
file(MAKE_DIRECTORY "${BINARY_DIR}")

set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${LIBDIR}/pkgconfig")
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs pchol
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not find pchol in ${PREFIX}")
endif()
message(STATUS "pkg-config --cflags --libs pchol: ${flags}")
separate_arguments(flags UNIX_COMMAND "${flags}")

# -lm: the program's own use of the math library (cabs).
execute_process(COMMAND "${C_COMPILER}" -std=c99 -Wall -Wextra -Wpedantic -Werror "${SOURCE}" ${flags} -lm
                        -o "${BINARY_DIR}/example_c"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "compiling with the pkg-config flags failed: ${result}")
endif()
# A shared install is found at run time through the loader's search path.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "LD_LIBRARY_PATH=${PREFIX}/${LIBDIR}" "${BINARY_DIR}/example_c"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the example failed: ${result}")
endif()
