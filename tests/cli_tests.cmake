# The command-line host (tools/qarsldw). Parsing and formatting in process; the real qarsldw.exe
# under Wine, through tests/cli_run.cmake, for what only the whole program shows.
qar_add_gtest(cli_tests cli_test.cpp)
target_link_libraries(cli_tests PRIVATE qarsldw_cli)

set(qar_cli_data ${CMAKE_CURRENT_SOURCE_DIR}/data/cli)
set(qar_cli_samples ${PROJECT_SOURCE_DIR}/simulator/samples)
# qar_cli_test(NAME FIXTURES EXIT ARGS... [COPY ...] [EXE path] [INPUT file] [OUT ...] [ERR ...]
#   [NOT_OUT ...] [ENV ...] [PREFIX wineprefix] [MAX_SECONDS n]): qarsldw.exe run in a scratch folder
#   of its own, in the test prefix unless PREFIX names another.
function(qar_cli_test name fixtures exit)
    cmake_parse_arguments(PARSE_ARGV 3 arg "" "EXE;INPUT;PREFIX;MAX_SECONDS" "ARGS;COPY;OUT;ERR;NOT_OUT;ENV")
    set(work ${CMAKE_CURRENT_BINARY_DIR}/cli/${name})
    if(NOT arg_EXE)
        set(arg_EXE $<TARGET_FILE:qarsldw>)
    endif()
    set(run ${QAR_WINE_RUN})
    if(arg_PREFIX)
        set(run ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${arg_PREFIX})
    endif()
    add_test(NAME cli.${name} COMMAND ${CMAKE_COMMAND}
        "-DRUN=${run}" "-DEXE=${arg_EXE}" "-DWORK=${work}" "-DCOPY=${arg_COPY}" "-DARGS=${arg_ARGS}"
        "-DEXIT=${exit}" "-DINPUT=${arg_INPUT}" "-DOUT=${arg_OUT}" "-DERR=${arg_ERR}" "-DNOT_OUT=${arg_NOT_OUT}"
        "-DMAX_SECONDS=${arg_MAX_SECONDS}" -P ${CMAKE_CURRENT_SOURCE_DIR}/cli_run.cmake)
    set_tests_properties(cli.${name} PROPERTIES FIXTURES_REQUIRED "${fixtures}" TIMEOUT 120
        ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120;${arg_ENV}")
    # Everything that starts the simulator or walks the running-object table takes its turn.
    if(fixtures MATCHES "simulator")
        set_tests_properties(cli.${name} PROPERTIES RESOURCE_LOCK simulator_server)
    endif()
endfunction()

# The README's demo session, shorter: the same script against the registered simulator.
qar_cli_test(session "wine;simulator" 0
    ARGS run demo-session.txt --version "SolidWorks 2016"
    COPY ${qar_cli_samples} ${PROJECT_SOURCE_DIR}/tools/qarsldw/demo-session.txt
    OUT "connected to SolidWorks 2016, window handle -?[0-9]+ \\("
        "line 3: open [^\n]*samples.clamp\\.sldasm: ok\n"
        "line 4: deps: ok, 2 files\n  [^\n]*plate\\.sldprt\n  [^\n]*bolt\\.sldprt\n"
        "line 5: menu PLM: ok\nline 6: refresh parts 1: ok\nline 7: update parts 2: ok\n"
        "line 8: save: ok, saved [^\n]*clamp\\.sldasm\nline 9: probe: ok[^\n]*\nline 10: close: ok\ndisconnected\n$")

# The same session traced (--trace), then the trace summed up: each operation of the script once, the
# calls across the process boundary under their interface and method names, the failure's message.
qar_cli_test(trace_session "wine;simulator" 0
    ARGS run demo-session.txt --version "SolidWorks 2016" --trace trace.jsonl
    COPY ${qar_cli_samples} ${PROJECT_SOURCE_DIR}/tools/qarsldw/demo-session.txt
    OUT "line 10: close: ok\ndisconnected\n$")
qar_cli_test(trace_summary "wine" 0
    ARGS trace summary ${CMAKE_CURRENT_BINARY_DIR}/cli/trace_session/trace.jsonl
    OUT "QARCAX::CaxConnector::NewCommand +1 +0 "
        "QARCAX::SldwCommand::OpenFile +1 +0 " "QARCAX::SldwCommand::SaveFile +1 +0 "
        "IDispatch.Invoke CreateMenu +1 +0 " "ISldWorks.OpenDocument +1 +0 " "ISwAddIn.SetAddInArgument +1 +0 ")
qar_cli_test(trace_summary_json "wine" 0
    ARGS trace summary ${CMAKE_CURRENT_BINARY_DIR}/cli/trace_session/trace.jsonl --json
    OUT "^{\"calls\":\\[{\"count\":[0-9]+,\"failures\":0,\"max_us\":[0-9]+,\"median_us\":[0-9]+,")
set_tests_properties(cli.trace_summary cli.trace_summary_json PROPERTIES DEPENDS cli.trace_session)

# A script from standard input in JSON: the first failing line ends the script with its status record,
# the session still disconnects, and the exit code says it failed.
qar_cli_test(stops_at_failure "wine;simulator" 1
    ARGS run - --json --version "SolidWorks 2016"
    INPUT ${qar_cli_data}/stops-at-failure.txt
    COPY ${qar_cli_samples}
    OUT "^{\"command\":\"connect\",\"ok\":true,\"version\":\"SolidWorks 2016\",\"handle\":\"-?[0-9]+\",\"seconds\":[0-9.]+}\n"
        "{\"line\":1,\"command\":\"open\",\"ok\":true,\"path\":\"[^\"]*clamp\\.sldasm\"}\n"
        "{\"line\":2,\"command\":\"open\",\"ok\":false,\"path\":\"[^\"]*missing\\.sldasm\",\"result\":-1,\"code\":-?[1-9][0-9]*,\"message\":\"[^\"]+\"}\n"
        "{\"command\":\"disconnect\",\"ok\":true}\n$")

# `about`: the project version and the library's file version.
string(REPLACE "." "\\." qar_file_version "${PROJECT_VERSION}.0")
qar_cli_test(about "wine" 0 ARGS about
    OUT "^qarsldw ${PROJECT_VERSION}\nQarSldwInterface_x64\\.dll ${qar_file_version} [^\n]*QarSldwInterface_x64\\.dll\n$")

# Every check passes on a complete installation, the automation server registered and a real connect
# included.
qar_cli_test(doctor "wine;simulator;automation" 0
    ARGS doctor --connect --version "SolidWorks 2016"
    OUT "ok       library: loaded [^\n]*QarSldwInterface_x64\\.dll\n"
        "ok       file versions: QarSldwInterface_x64\\.dll ${qar_file_version}, QarSldwAutomation_x64\\.dll ${qar_file_version}\n"
        "ok       load address: QarSldwInterface_x64\\.dll at 0x[0-9A-F]+ \\(image base 0x[0-9A-F]+\\)\n"
        "ok       messages: string table in the user's language en-US"
        "ok       application: SolidWorks 2016 -> SldWorks\\.Application\\.24, server [^\n]*qarcadsim\\.exe\n"
        "ok       add-in: [^\n]*BrivexSw18_x64\\.dll\n"
        "ok       automation: QarSldw\\.Connector -> [^\n]*QarSldwAutomation_x64\\.dll\n"
        "ok       language: [^\n]*en-us.dd_3\\.xml\n"
        "ok       connect: connected and disconnected in [0-9.]+ s\n"
        "ok       trace: off [^\n]*\nok       dumps: off [^\n]*\n0 failed")

# An installation without the add-in module: that check fails with its fix, the others still run,
# and the exit code says so.
qar_cli_test(doctor_without_add_in "wine;simulator" 1
    EXE ${CMAKE_CURRENT_BINARY_DIR}/cli/doctor_without_add_in/qarsldw.exe
    ARGS doctor --version "SolidWorks 2016"
    COPY $<TARGET_FILE:qarsldw> $<TARGET_FILE:QarSldwInterface_x64> ${PROJECT_SOURCE_DIR}/tests/data/language/en-us
    OUT "ok       application: SolidWorks 2016"
        "failure  add-in: [^\n]*doctor_without_add_in.BrivexSw18_x64\\.dll is missing\n         fix: [^\n]+\n"
        "ok       language: "
        "\n1 failed, ")
# doctor reads the automation server's registration in the shared prefix: the automation fixture's
# register and unregister must not run beside it (one did: "QarSldw.Connector names no in-process
# module", the ProgID written and its class not yet).
set_tests_properties(cli.doctor cli.doctor_without_add_in PROPERTIES
    RESOURCE_LOCK "simulator_server;automation_registration")

# Bad input: a clear message and exit code 2, before anything connects.
qar_cli_test(unknown_script_line wine 2
    ARGS run unknown-line.txt
    COPY ${qar_cli_data}/unknown-line.txt
    ERR "^qarsldw: unknown-line\\.txt: line 2: unknown command 'opn'")
qar_cli_test(handle_not_a_number wine 2
    ARGS connect --attach 12ab
    ERR "^qarsldw: --attach: '12ab' is not a window handle")

# A failed connect prints the status record's code and message; --lang picks the library's Chinese
# table, and text to a pipe arrives as UTF-8.
qar_cli_test(connect_failure_in_chinese wine 1
    ARGS connect --version "SolidWorks 2030" --lang zh-cn
    ERR "^connect SolidWorks 2030: failed \\(code -1, result -2147221005\\): 启动 SldWorks\\.Application\\.38 失败, ")

# A hung application: the add-in load never returns. --call-timeout gives up on it after two seconds
# with its own exit code and says which operation was waiting; the application is left alone, so the
# next run's doctor finds an instance that does not answer and warns instead of hanging. The hung
# server stays behind, so these run in a prefix of their own.
qar_private_sim_prefix(hung cli.hung)
qar_cli_test(call_timeout "wine_hung;wine_hung_sim" 3 PREFIX ${QAR_PREFIX_hung} MAX_SECONDS 5
    ARGS connect --version "SolidWorks 2016" --call-timeout 2
    ENV "QARCADSIM_OPTIONS=/hang:ISldWorks.LoadAddIn"
    ERR "connect SolidWorks 2016: no answer for 2 s; giving up and leaving the application alone")
qar_cli_test(doctor_hung_instance "wine_hung;wine_hung_sim" 0 PREFIX ${QAR_PREFIX_hung} MAX_SECONDS 15
    ARGS doctor --version "SolidWorks 2016"
    OUT "warning  running: an instance did not answer within 3 s \\(busy or hung\\)\n")
set_tests_properties(cli.doctor_hung_instance PROPERTIES DEPENDS cli.call_timeout)
set_tests_properties(cli.call_timeout cli.doctor_hung_instance PROPERTIES RESOURCE_LOCK hung_prefix)

# Two running instances: each listed with its window handle and process, and attached to by process.
qar_sim_gtest(cli_instance_tests ${QAR_WINEPREFIX} "wine;simulator" cli_instances_test.cpp)
add_dependencies(cli_instance_tests qarsldw)
set_tests_properties(${cli_instance_tests_TESTS} PROPERTIES ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120")
