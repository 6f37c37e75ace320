# Installation and the CMake package for hosts.
#
#   cmake --install build/mingw --prefix <dir>                        # the library (component "library")
#   cmake --install build/mingw --prefix <dir> --component simulator  # the simulated application, on request
#   cmake --install build/mingw --prefix <dir> --component debug      # debug files of the installed modules
#
# The library component: bin/QarSldwInterface_x64.dll, lib/libQarSldwInterface_x64.dll.a, the public
# headers under include/ in the layout they include each other by, and lib/cmake/QarSldwInterface/
# with the package configuration (imported target QarSldwInterface::QarSldwInterface).
# The simulator component goes to simulator/ (with simulator/include/ for a host's own tests against
# it) and is left out of a plain install: its stand-in add-in
# module must never end up beside the library, where the connector would load it into a real
# application.
include(CMakePackageConfigHelpers)

set(QAR_PACKAGE_DIR lib/cmake/QarSldwInterface)

install(TARGETS QarSldwInterface_x64
    RUNTIME DESTINATION bin COMPONENT library
    ARCHIVE DESTINATION lib COMPONENT library
    FILE_SET HEADERS DESTINATION include COMPONENT library)
# Installed stripped; its debug information is the "debug" component (cmake/symbols.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/symbols.cmake)
qar_release_symbols(QarSldwInterface_x64 bin)

configure_package_config_file(cmake/QarSldwInterfaceConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/package/QarSldwInterfaceConfig.cmake
    INSTALL_DESTINATION ${QAR_PACKAGE_DIR})
# The DLL's C++ classes bind to one compiler anyway, and the C interface is stable within a major
# version: a host asking for 1.x takes any 1.y.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/package/QarSldwInterfaceConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/QarSldwInterfaceConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/package/QarSldwInterfaceConfigVersion.cmake
        DESTINATION ${QAR_PACKAGE_DIR} COMPONENT library)

install(PROGRAMS $<TARGET_FILE:qarcadsim> $<TARGET_FILE:BrivexSw18_x64>
    DESTINATION simulator COMPONENT simulator EXCLUDE_FROM_ALL)
install(DIRECTORY simulator/samples/ DESTINATION simulator/samples COMPONENT simulator EXCLUDE_FROM_ALL)
# For a host's own tests against the simulator: its control interface and the helpers that read it.
install(FILES simulator/sim_client.h ${CMAKE_BINARY_DIR}/simulator/sim_control.h
    DESTINATION simulator/include/simulator COMPONENT simulator EXCLUDE_FROM_ALL)
