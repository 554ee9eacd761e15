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

# For builds without CMake: qlalignparts.pc in the usual pkgconfig directory.
file(RELATIVE_PATH QLALIGNPARTS_PC_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" QLALIGNPARTS_PC_PREFIX "${QLALIGNPARTS_PC_PREFIX}")
configure_file(cmake/qlalignparts.pc.in ${PROJECT_BINARY_DIR}/qlalignparts.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qlalignparts.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
