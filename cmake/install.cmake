# Installation: headers, the libraries, a CMake package (find_package(pchol)
# gives the imported target pchol::pchol) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# One target for users: the solver with the threading library and the
# platform layer underneath.
add_library(pchol INTERFACE)
target_link_libraries(pchol INTERFACE pchol_solver pchol_threads pchol_platform)
add_library(pchol::pchol ALIAS pchol)

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

set(pchol_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/pchol)
install(EXPORT pcholTargets NAMESPACE pchol:: DESTINATION ${pchol_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/pchol-config.cmake.in
                              ${PROJECT_BINARY_DIR}/pchol-config.cmake
                              INSTALL_DESTINATION ${pchol_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/pchol-config-version.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/pchol-config.cmake ${PROJECT_BINARY_DIR}/pchol-config-version.cmake
        DESTINATION ${pchol_cmake_dir})

configure_file(${PROJECT_SOURCE_DIR}/cmake/pchol.pc.in ${PROJECT_BINARY_DIR}/pchol.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pchol.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
