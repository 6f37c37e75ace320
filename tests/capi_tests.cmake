# The C interface and the installed package, seen from hosts.

# A host written in C: compiled as C against the installed-style include folder, linked with the
# import library alone, run from a folder of its own holding the DLL, the add-in module, the language
# data and the sample documents. Its session runs against the registered simulator.

add_executable(c_host_tests c_host_test.c)
set_source_files_properties(c_host_test.c PROPERTIES LANGUAGE C)
set_target_properties(c_host_tests PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/c_host)
target_include_directories(c_host_tests PRIVATE ${QAR_SDK_DIR}/include)
target_link_libraries(c_host_tests PRIVATE $<TARGET_LINKER_FILE:QarSldwInterface_x64> qar_settings)
add_dependencies(c_host_tests qar_sdk_headers QarSldwInterface_x64 BrivexSw18_x64 qarcadsim)
add_custom_command(TARGET c_host_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:QarSldwInterface_x64> $<TARGET_FILE:BrivexSw18_x64>
            $<TARGET_FILE_DIR:c_host_tests>
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_CURRENT_SOURCE_DIR}/data/language $<TARGET_FILE_DIR:c_host_tests>
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/simulator/samples $<TARGET_FILE_DIR:c_host_tests>/samples)
add_test(NAME c_host.session COMMAND ${QAR_WINE_RUN} $<TARGET_FILE:c_host_tests>)
set_tests_properties(c_host.session PROPERTIES FIXTURES_REQUIRED "wine;simulator" TIMEOUT 120
    RESOURCE_LOCK simulator_server ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120"
    PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed")

# The package: a plain install into a scratch prefix, the simulator component into another, and a
# host project configured and built against the first with the same toolchain, run under Wine.
add_test(NAME package.install_and_host
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DHOST_SOURCE=${CMAKE_CURRENT_SOURCE_DIR}/package_host
            -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package_host -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}
            -DWINE_RUN=${PROJECT_SOURCE_DIR}/cmake/wine-run.sh -DWINE_PREFIX=${QAR_WINEPREFIX}
            -P ${PROJECT_SOURCE_DIR}/cmake/check-package.cmake)
set_tests_properties(package.install_and_host PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300
    ENVIRONMENT "LC_ALL=en_US.UTF-8")
