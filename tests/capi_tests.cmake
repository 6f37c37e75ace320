# The installed package, seen from a host. (The C interface's session is a test of the host program
# in tests/host_session_test.cpp.)

# The package: a plain install into a scratch prefix, the simulator component into another, and a
# host project configured and built against the first with the same toolchain, run under Wine.
add_test(NAME package.install_and_host
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DHOST_SOURCE=${CMAKE_CURRENT_SOURCE_DIR}/package_host
            -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package_host -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}
            -DWINE_RUN=${PROJECT_SOURCE_DIR}/cmake/wine-run.sh -DWINE_PREFIX=${QAR_WINEPREFIX}
            -P ${PROJECT_SOURCE_DIR}/cmake/check-package.cmake)
set_tests_properties(package.install_and_host PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300
    FAIL_REGULAR_EXPRESSION "${QAR_TEST_FAILURES}" ENVIRONMENT "LC_ALL=en_US.UTF-8")
