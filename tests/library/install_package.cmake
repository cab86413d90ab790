# Installs the build tree BUILD_DIR (configuration CONFIG) into a fresh
# PREFIX with cmake --install, as a user would, and checks that every file a
# program needs is there. LIBDIR, INCLUDEDIR, DATADIR: the install's folders;
# EXPECT_FORTRAN_MODULE: ON when the build compiled the Fortran module;
# SHARED: ON for a build of shared libraries.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" --config "${CONFIG}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(expected
  ${INCLUDEDIR}/pchol/pchol.h ${INCLUDEDIR}/pchol/solver.hpp ${INCLUDEDIR}/pchol/settings.hpp
  ${INCLUDEDIR}/pchol/threads.hpp ${INCLUDEDIR}/pchol/platform.hpp ${INCLUDEDIR}/pchol/version.hpp
  ${INCLUDEDIR}/pchol/version.h ${INCLUDEDIR}/pchol/export.h
  ${LIBDIR}/cmake/pchol/pchol-config.cmake ${LIBDIR}/cmake/pchol/pchol-config-version.cmake
  ${LIBDIR}/cmake/pchol/pcholTargets.cmake ${LIBDIR}/pkgconfig/pchol.pc
  ${DATADIR}/pchol/fortran/pchol.f90)
if(SHARED)
  set(suffix .so)
else()
  set(suffix .a)
endif()
foreach(library solver threads platform)
  list(APPEND expected ${LIBDIR}/libpchol_${library}${suffix})
endforeach()
if(EXPECT_FORTRAN_MODULE)
  list(APPEND expected ${INCLUDEDIR}/pchol/fortran/pchol.mod)
endif()
set(missing "")
foreach(file IN LISTS expected)
  if(NOT EXISTS "${PREFIX}/${file}")
    list(APPEND missing ${file})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "not installed: ${missing}")
endif()
