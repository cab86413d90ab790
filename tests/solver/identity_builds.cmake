# Run by CTest (solver_identity_builds): builds the identity hash program in
# other builds of the same checkout and compares what they print with the
# hashes of the build under test, line for line.
#
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DHASH_PROGRAM=... -DBUILD_TYPE=...
#         -DGENERATOR=... -DCOMPILER=... [-DOTHER_COMPILER=...]
#         -P identity_builds.cmake
#
# The other builds: a portable one (PCHOL_NATIVE=OFF) with the same
# compiler, one without vector extensions (the kernels' plain-array form, as
# a compiler without them builds it), one for AVX2 without AVX-512 (where a
# lane group's doubles are two registers' halves) when this machine runs
# AVX2, and, when OTHER_COMPILER names one, a native build with that
# compiler. Each builds only the hash program and the libraries it links,
# in a folder of its own under WORK_DIR that later runs reuse.
foreach(var SOURCE_DIR WORK_DIR HASH_PROGRAM BUILD_TYPE GENERATOR COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "identity_builds.cmake: ${var} is not set")
  endif()
endforeach()

file(MAKE_DIRECTORY "${WORK_DIR}")
set(reference "${WORK_DIR}/this-build.txt")
execute_process(COMMAND "${HASH_PROGRAM}" OUTPUT_FILE "${reference}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the hash program of this build failed (${rc})")
endif()

set(failed "")
function(compare_build name)
  set(dir "${WORK_DIR}/${name}")
  string(TIMESTAMP started "%s")
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${dir}" -G "${GENERATOR}"
                          -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DPCHOL_BUILD_TESTS=ON ${ARGN}
                  OUTPUT_FILE "${dir}.configure.log" ERROR_FILE "${dir}.configure.log" RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    execute_process(COMMAND "${CMAKE_COMMAND}" --build "${dir}" --target pchol_identity_hash -j 2
                    OUTPUT_FILE "${dir}.build.log" ERROR_FILE "${dir}.build.log" RESULT_VARIABLE rc)
  endif()
  if(NOT rc EQUAL 0)
    file(READ "${dir}.build.log" log)
    message("${name}: configuring or building failed; see ${dir}.configure.log and ${dir}.build.log\n${log}")
    set(failed "${failed} ${name}" PARENT_SCOPE)
    return()
  endif()
  # The program reports every differing line and exits non-zero on any.
  execute_process(COMMAND "${dir}/tests/solver/pchol_identity_hash" --check "${reference}"
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  string(TIMESTAMP finished "%s")
  math(EXPR seconds "${finished} - ${started}")
  string(STRIP "${out}" out)
  message("${name} (${ARGN}), ${seconds} s: ${out}")
  if(NOT rc EQUAL 0)
    message("${err}")
    set(failed "${failed} ${name}" PARENT_SCOPE)
  endif()
endfunction()

compare_build(portable -DCMAKE_CXX_COMPILER=${COMPILER} -DPCHOL_NATIVE=OFF)
compare_build(no-vector-extensions -DCMAKE_CXX_COMPILER=${COMPILER} -DPCHOL_NATIVE=OFF
              -DCMAKE_CXX_FLAGS=-DPCHOL_NO_VECTOR_EXTENSIONS)
# x86-64-v3: AVX2, FMA (never used: products are not contracted), BMI1/2,
# F16C, LZCNT and MOVBE (some virtual machines do not list LZCNT, which
# every processor with the others has).
set(avx2_host FALSE)
if(EXISTS /proc/cpuinfo)
  file(READ /proc/cpuinfo cpuinfo)
  if(cpuinfo MATCHES " avx2" AND cpuinfo MATCHES " fma" AND cpuinfo MATCHES " bmi2" AND cpuinfo MATCHES " movbe" AND cpuinfo MATCHES " f16c")
    set(avx2_host TRUE)
  endif()
endif()
if(avx2_host)
  compare_build(avx2 -DCMAKE_CXX_COMPILER=${COMPILER} -DPCHOL_NATIVE=OFF -DCMAKE_CXX_FLAGS=-march=x86-64-v3)
else()
  message("this machine does not run AVX2: no AVX2 build is compared")
endif()
if(OTHER_COMPILER)
  compare_build(other-compiler -DCMAKE_CXX_COMPILER=${OTHER_COMPILER})
else()
  message("no second compiler found: only the portable build is compared")
endif()

if(failed)
  message(FATAL_ERROR "builds that store other bits or did not build:${failed}")
endif()
