# The Fortran module (bind(C) interfaces to pchol.h) holds no code, only
# interfaces and constants: compiling it gives the pchol.mod that Fortran
# programs "use". Module files belong to one compiler (and version), so
# install.cmake installs the source as well, for programs built with another
# one. Enabling Fortran is global to a build, so a parent project that uses
# pchol as a subproject gets it only when it asks (-DPCHOL_FORTRAN=ON).
include(CheckLanguage)

option(PCHOL_FORTRAN "Build the Fortran module when a Fortran compiler is found" ${PCHOL_TOP_LEVEL})
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
  include(GNUInstallDirs)
  set(pchol_fortran_build_dir ${PROJECT_BINARY_DIR}/fortran_modules)
  set(pchol_fortran_module_dir ${CMAKE_INSTALL_INCLUDEDIR}/pchol/fortran)
  add_library(pchol_fortran_module OBJECT ${PROJECT_SOURCE_DIR}/solver/fortran/pchol.f90)
  set_target_properties(pchol_fortran_module PROPERTIES Fortran_MODULE_DIRECTORY ${pchol_fortran_build_dir})
  # Fortran 2018 for the optional WORK of the pipelined drivers.
  target_compile_options(pchol_fortran_module PRIVATE
    $<$<Fortran_COMPILER_ID:GNU>:-Wall -Wextra -std=f2018 $<$<BOOL:${PCHOL_WERROR}>:-Werror>>)
  target_include_directories(pchol INTERFACE
    $<BUILD_INTERFACE:${pchol_fortran_build_dir}>
    $<INSTALL_INTERFACE:${pchol_fortran_module_dir}>)
  # A program of the build tree that uses the module needs it compiled first.
  add_dependencies(pchol pchol_fortran_module)
endif()
