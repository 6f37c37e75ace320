# The automation server (automation/). One program, in a folder of its own that holds the server, the
# library, the add-in module, the language folders, the sample documents and the script, as an
# installation has them:
# - in process through IDispatch against simulated applications in the running-object table (taking
#   turns at it), and registration against a redirected registry;
# - a VBScript session run by Windows Script Host (cscript.exe) against the registered simulator and
#   the server registered machine-wide through the real regsvr32 (fixture "automation").
set(qar_automation_test_dir ${CMAKE_CURRENT_BINARY_DIR}/automation)
add_executable(automation_tests automation_test.cpp ${QAR_AUTOMATION_IIDS})
target_link_libraries(automation_tests PRIVATE qar_static qarsim_core GTest::gtest GTest::gtest_main)
target_include_directories(automation_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
add_dependencies(automation_tests qar_automation_generated qarcadsim)
set_target_properties(automation_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${qar_automation_test_dir}
    CROSSCOMPILING_EMULATOR "${QAR_WINE_RUN}")
# The folder's files follow every build of the server, not only the program's own relinks.
add_custom_target(automation_test_folder ALL
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:QarSldwAutomation_x64>
            $<TARGET_FILE:QarSldwInterface_x64> $<TARGET_FILE:BrivexSw18_x64>
            ${CMAKE_CURRENT_SOURCE_DIR}/data/automation/session.vbs ${qar_automation_test_dir}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_CURRENT_SOURCE_DIR}/data/language ${qar_automation_test_dir}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/simulator/samples
            ${qar_automation_test_dir}/samples
    VERBATIM)
add_dependencies(automation_test_folder QarSldwAutomation_x64 BrivexSw18_x64)
add_dependencies(automation_tests automation_test_folder)

# The test names come from the test source alone (the identifiers are generated at build time).
gtest_add_tests(TARGET automation_tests SOURCES automation_test.cpp TEST_LIST automation_tests_list)
# In process they attach through the running-object table, so they take turns with every other test
# that walks it; the script also needs the registered simulator and server.
set_tests_properties(${automation_tests_list} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 90
    RESOURCE_LOCK simulator_server ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120"
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]" FAIL_REGULAR_EXPRESSION "${QAR_TEST_FAILURES}")
set_tests_properties(AutomationScript.CscriptSessionAgainstTheRegisteredServers PROPERTIES
    FIXTURES_REQUIRED "wine;simulator;automation")

# Machine-wide registration through the real regsvr32 (which ends with a non-zero code when the
# server's registration fails). It takes the file name in the module's folder: Wine's regsvr32 does
# not load a module named by its Unix path.
add_test(NAME automation.register COMMAND ${QAR_WINE_RUN} regsvr32 /s QarSldwAutomation_x64.dll
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
add_test(NAME automation.unregister COMMAND ${QAR_WINE_RUN} regsvr32 /u /s QarSldwAutomation_x64.dll
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(automation.register PROPERTIES FIXTURES_SETUP automation FIXTURES_REQUIRED wine
    TIMEOUT 60 RESOURCE_LOCK automation_registration)
set_tests_properties(automation.unregister PROPERTIES FIXTURES_CLEANUP automation FIXTURES_REQUIRED wine
    TIMEOUT 60 RESOURCE_LOCK automation_registration)
