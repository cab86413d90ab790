# Installation: headers, the libraries, a CMake package (find_package(pchol)
# gives the imported target pchol::pchol), a pkg-config file, and the Fortran
# interface: its source always, its compiled module when a Fortran compiler
# is found.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
include(CheckLanguage)

# One target for users: the solver with the threading library and the
# platform layer underneath.
add_library(pchol INTERFACE)
target_link_libraries(pchol INTERFACE pchol_solver pchol_threads pchol_platform)
add_library(pchol::pchol ALIAS pchol)

set(pchol_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/pchol)
set(pchol_fortran_source_dir ${CMAKE_INSTALL_DATADIR}/pchol/fortran)
set(pchol_fortran_module_dir ${CMAKE_INSTALL_INCLUDEDIR}/pchol/fortran)

# The Fortran module (bind(C) interfaces to pchol.h) holds no code, only
# interfaces and constants: compiling it gives the pchol.mod that Fortran
# programs "use". Module files belong to one compiler (and version), so the
# source is installed as well for programs built with another one.
option(PCHOL_FORTRAN "Build and install the Fortran module when a Fortran compiler is found" ON)
set(PCHOL_HAVE_FORTRAN OFF)
# A cross build takes Fortran only from its toolchain file: the compiler
# found on the build machine makes modules for the build machine.
if(PCHOL_FORTRAN AND (NOT CMAKE_CROSSCOMPILING OR CMAKE_Fortran_COMPILER))
  check_language(Fortran)
  if(CMAKE_Fortran_COMPILER)
    enable_language(Fortran)
    set(PCHOL_HAVE_FORTRAN ON)
  endif()
endif()
if(PCHOL_HAVE_FORTRAN)
  set(pchol_fortran_build_dir ${PROJECT_BINARY_DIR}/fortran_modules)
  add_library(pchol_fortran_module OBJECT ${PROJECT_SOURCE_DIR}/solver/fortran/pchol.f90)
  set_target_properties(pchol_fortran_module PROPERTIES Fortran_MODULE_DIRECTORY ${pchol_fortran_build_dir})
  target_compile_options(pchol_fortran_module PRIVATE
    $<$<Fortran_COMPILER_ID:GNU>:-Wall -Wextra -std=f2008 $<$<BOOL:${PCHOL_WERROR}>:-Werror>>)
  target_include_directories(pchol INTERFACE
    $<BUILD_INTERFACE:${pchol_fortran_build_dir}>
    $<INSTALL_INTERFACE:${pchol_fortran_module_dir}>)
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

install(EXPORT pcholTargets NAMESPACE pchol:: DESTINATION ${pchol_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/pchol-config.cmake.in
                              ${PROJECT_BINARY_DIR}/pchol-config.cmake
                              INSTALL_DESTINATION ${pchol_cmake_dir}
                              PATH_VARS pchol_fortran_source_dir)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/pchol-config-version.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/pchol-config.cmake ${PROJECT_BINARY_DIR}/pchol-config-version.cmake
        DESTINATION ${pchol_cmake_dir})

# The libraries are static and written in C++: a C or Fortran program links
# the C++ runtime too. pkg-config gets the runtime libraries that this C++
# compiler links implicitly (the C library and the compiler's support
# libraries excluded: every linker driver brings those itself).
set(pchol_cxx_runtime ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
list(REMOVE_DUPLICATES pchol_cxx_runtime)
list(REMOVE_ITEM pchol_cxx_runtime c gcc gcc_s gcc_eh)
set(PCHOL_PC_CXX_RUNTIME "")
foreach(lib IN LISTS pchol_cxx_runtime)
  string(APPEND PCHOL_PC_CXX_RUNTIME " -l${lib}")
endforeach()
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
