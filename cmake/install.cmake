# Installation: headers, the libraries, a CMake package (find_package(pchol)
# gives the imported target pchol::pchol), a pkg-config file, and the Fortran
# interface: its source always, its compiled module when a Fortran compiler
# is found.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(pchol_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/pchol)
set(pchol_fortran_source_dir ${CMAKE_INSTALL_DATADIR}/pchol/fortran)
set(pchol_fortran_module_dir ${CMAKE_INSTALL_INCLUDEDIR}/pchol/fortran)

if(PCHOL_HAVE_FORTRAN)
  install(FILES ${pchol_fortran_build_dir}/pchol.mod DESTINATION ${pchol_fortran_module_dir})
  set(PCHOL_PC_FORTRAN_CFLAGS " -I\${includedir}/pchol/fortran")
else()
  set(PCHOL_PC_FORTRAN_CFLAGS "")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/solver/fortran/pchol.f90 DESTINATION ${pchol_fortran_source_dir})

set(pchol_install_targets pchol pchol_solver pchol_threads pchol_platform pchol_warnings)
install(TARGETS ${pchol_install_targets}
        EXPORT pcholTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(folder platform threads solver)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/include/pchol
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()
install(FILES ${pchol_generated_include}/pchol/export.h ${pchol_generated_include}/pchol/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pchol)

install(EXPORT pcholTargets NAMESPACE pchol:: DESTINATION ${pchol_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/pchol-config.cmake.in
                              ${PROJECT_BINARY_DIR}/pchol-config.cmake
                              INSTALL_DESTINATION ${pchol_cmake_dir}
                              PATH_VARS pchol_fortran_source_dir)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/pchol-config-version.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/pchol-config.cmake ${PROJECT_BINARY_DIR}/pchol-config-version.cmake
        DESTINATION ${pchol_cmake_dir})

# The libraries are written in C++: a C or Fortran program that links the
# static ones links the C++ runtime too (shared ones bring it themselves).
# pkg-config gets the runtime libraries that this C++ compiler links
# implicitly (the C library and the compiler's support libraries excluded:
# every linker driver brings those itself), in Libs for a static build and
# in Libs.private for a shared one.
set(pchol_cxx_runtime ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
list(REMOVE_DUPLICATES pchol_cxx_runtime)
list(REMOVE_ITEM pchol_cxx_runtime c gcc gcc_s gcc_eh)
set(PCHOL_PC_CXX_RUNTIME "")
foreach(lib IN LISTS pchol_cxx_runtime)
  string(APPEND PCHOL_PC_CXX_RUNTIME " -l${lib}")
endforeach()
set(PCHOL_PC_LIBS "-L\${libdir} -lpchol_solver -lpchol_threads -lpchol_platform")
if(BUILD_SHARED_LIBS)
  set(PCHOL_PC_LIBS_PRIVATE "-pthread${PCHOL_PC_CXX_RUNTIME}")
else()
  string(APPEND PCHOL_PC_LIBS " -pthread${PCHOL_PC_CXX_RUNTIME}")
  set(PCHOL_PC_LIBS_PRIVATE "")
endif()
# The file finds the prefix from its own place (pcfiledir), so that an
# install with cmake --install --prefix elsewhere still points at itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(PCHOL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  set(PCHOL_PC_PREFIX "\${pcfiledir}")
  string(REPLACE "/" ";" pchol_pc_levels "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
  foreach(level IN LISTS pchol_pc_levels)
    string(APPEND PCHOL_PC_PREFIX "/..")
  endforeach()
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(PCHOL_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(PCHOL_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/pchol.pc.in ${PROJECT_BINARY_DIR}/pchol.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pchol.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
