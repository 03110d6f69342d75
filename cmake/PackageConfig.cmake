# For other programs: the CMake package SMCSensors (find_package) and the
# pkg-config files smc-sensors.pc (the access library) and smc-foundation.pc
# (the object layer a host of the module links), relocatable with the tree.
include(CMakePackageConfigHelpers)

install(EXPORT ${SMC_EXPORT} NAMESPACE SMCSensors:: DESTINATION ${SMC_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SMCSensorsConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/SMCSensorsConfig.cmake
    INSTALL_DESTINATION ${SMC_CMAKEDIR}
    PATH_VARS SMC_MODULEDIR SMC_PROFILEDIR)
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/SMCSensorsConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/SMCSensorsConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/SMCSensorsConfigVersion.cmake
        DESTINATION ${SMC_CMAKEDIR})

# The .pc file names its prefix relative to its own place.
smc_relative_path(pc_to_prefix ${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
foreach(pc IN ITEMS smc-sensors smc-foundation)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
