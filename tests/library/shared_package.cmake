# Builds the project in SOURCE_DIR as shared libraries in a fresh BINARY_DIR
# (generator GENERATOR, compilers CXX_COMPILER and Fortran_COMPILER when set;
# a Debug build, the quickest to compile: what is exported does not depend
# on the optimisation), installs it into PREFIX as install_package.cmake
# does, and checks what the libraries export: every symbol that they make
# visible must be an entry point named in the installed headers (the rest of
# the libraries is hidden). NM lists the symbols. Instantiations of the
# standard library's templates are left out: its headers make them visible
# whatever the compiler's default, and each library that uses them has them.
file(REMOVE_RECURSE "${BINARY_DIR}")
set(CONFIG Debug)
set(fortran_args -DPCHOL_FORTRAN=OFF)
if(Fortran_COMPILER)
  set(fortran_args -DPCHOL_FORTRAN=ON "-DCMAKE_Fortran_COMPILER=${Fortran_COMPILER}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
                        -DBUILD_SHARED_LIBS=ON -DPCHOL_BUILD_TESTS=OFF "-DCMAKE_BUILD_TYPE=${CONFIG}"
                        "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" ${fortran_args}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configuring the shared build failed: ${result}")
endif()
# The libraries (and the Fortran module) only; the benchmark is not installed.
set(targets pchol_solver)
if(Fortran_COMPILER)
  list(APPEND targets pchol_fortran_module)
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --config "${CONFIG}" --target ${targets}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building the shared libraries failed: ${result}")
endif()

set(BUILD_DIR "${BINARY_DIR}")
set(SHARED ON)
include("${CMAKE_CURRENT_LIST_DIR}/install_package.cmake")

# The unqualified name of each visible symbol (templates and parameter lists
# taken off) must be a word of the installed headers.
file(GLOB headers "${PREFIX}/${INCLUDEDIR}/pchol/*.h" "${PREFIX}/${INCLUDEDIR}/pchol/*.hpp")
set(header_text "")
foreach(header IN LISTS headers)
  file(READ "${header}" text)
  string(APPEND header_text "${text}\n")
endforeach()
set(strays "")
foreach(library solver threads platform)
  set(file "${PREFIX}/${LIBDIR}/libpchol_${library}.so")
  execute_process(COMMAND "${NM}" -D -C --defined-only "${file}" OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${file}")
  endif()
  string(REPLACE "\n" ";" symbols "${symbols}")
  set(count 0)
  foreach(line IN LISTS symbols)
    if(NOT line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
      continue()
    endif()
    set(name "${CMAKE_MATCH_1}")
    if(name MATCHES "^((typeinfo|typeinfo name|vtable|guard variable) for )?std::")
      continue()
    endif()
    string(REGEX REPLACE "\\(.*$" "" name "${name}")
    while(name MATCHES "<[^<>]*>")
      string(REGEX REPLACE "<[^<>]*>" "" name "${name}")
    endwhile()
    string(REGEX REPLACE "^.* " "" name "${name}")
    string(REGEX REPLACE "^.*::" "" name "${name}")
    math(EXPR count "${count} + 1")
    if(NOT header_text MATCHES "[^A-Za-z0-9_]${name}[^A-Za-z0-9_]")
      list(APPEND strays "${library}: ${line}")
    endif()
  endforeach()
  message(STATUS "libpchol_${library}.so exports ${count} symbols")
  if(count EQUAL 0)
    message(FATAL_ERROR "libpchol_${library}.so exports nothing")
  endif()
endforeach()
if(strays)
  string(REPLACE ";" "\n  " strays "${strays}")
  message(FATAL_ERROR "symbols exported that no installed header declares:\n  ${strays}")
endif()
