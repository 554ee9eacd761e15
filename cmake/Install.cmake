include(CMakePackageConfigHelpers)

install(TARGETS qlhost qlalignparts
    EXPORT qlalignpartsTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(DIRECTORY hostapi/include/ qlalignparts/include/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/include/qlalignparts/qlalignparts_export.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qlalignparts)

install(EXPORT qlalignpartsTargets
    NAMESPACE qlalignparts::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qlalignparts)

configure_package_config_file(cmake/qlalignpartsConfig.cmake.in
    ${PROJECT_BINARY_DIR}/qlalignpartsConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qlalignparts)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qlalignpartsConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qlalignpartsConfig.cmake
              ${PROJECT_BINARY_DIR}/qlalignpartsConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qlalignparts)
