# Reliability under faults, across the process boundary: the connector linked into the test program
# (so the add-in module and the sample documents lie beside it), the simulator registered in the
# prefix. Messages are compared as the English table has them.
qar_sim_gtest(reliability_tests ${QAR_WINEPREFIX} "wine;simulator" reliability_test.cpp ${QAR_RESOURCE_FILES})
target_link_libraries(reliability_tests PRIVATE qarsim_core)
add_custom_command(TARGET reliability_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:BrivexSw18_x64> $<TARGET_FILE_DIR:reliability_tests>
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/simulator/samples
            $<TARGET_FILE_DIR:reliability_tests>/samples)
set_tests_properties(${reliability_tests_TESTS} PROPERTIES ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120")

# The busy policy in process: the simulated application and its class object in the test's own
# process, activation through the ProgID the simulator registered.
qar_sim_gtest(busy_tests ${QAR_WINEPREFIX} "wine;simulator" busy_policy_test.cpp ${QAR_RESOURCE_FILES})
target_link_libraries(busy_tests PRIVATE qarsim_core)
add_custom_command(TARGET busy_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:BrivexSw18_x64> $<TARGET_FILE_DIR:busy_tests>
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/simulator/samples $<TARGET_FILE_DIR:busy_tests>/samples)
set_tests_properties(${busy_tests_TESTS} PROPERTIES ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120")

# The application ending in the middle of a session leaves Wine refusing activations until its
# wineserver restarts, and the crash prefix's own test needs one activation first: this test has a
# prefix of its own.
qar_private_sim_prefix(ends reliability.ends)
qar_sim_gtest(reliability_ends_tests ${QAR_PREFIX_ends} "wine_ends;wine_ends_sim" reliability_crash_test.cpp
    ${QAR_RESOURCE_FILES})
target_link_libraries(reliability_ends_tests PRIVATE qarsim_core)
add_custom_command(TARGET reliability_ends_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:BrivexSw18_x64> $<TARGET_FILE_DIR:reliability_ends_tests>)
set_tests_properties(${reliability_ends_tests_TESTS} PROPERTIES ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120")

# Load: host threads and host processes against instances of the simulated application of their own
# (started by the test) and shared. The program spawns itself for the second host process.
qar_sim_gtest(load_tests ${QAR_WINEPREFIX} "wine;simulator" load_test.cpp ${QAR_RESOURCE_FILES})
target_link_libraries(load_tests PRIVATE qarsim_core qar_json)
add_custom_command(TARGET load_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:BrivexSw18_x64> $<TARGET_FILE_DIR:load_tests>
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/simulator/samples
            $<TARGET_FILE_DIR:load_tests>/samples)
set_tests_properties(${load_tests_TESTS} PROPERTIES ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120")
