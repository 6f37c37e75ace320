# Runs qarsldw.exe once under Wine and checks its exit code and output.
#   -DRUN=<wine-run.sh;prefix>  -DEXE=<qarsldw.exe>  -DWORK=<scratch folder, emptied first>
#   -DCOPY=<files and folders put into WORK>  -DARGS=<arguments>  -DEXIT=<expected exit code>
#   -DINPUT=<file for standard input>  -DOUT=<regexes stdout must match>
#   -DERR=<regexes stderr must match>  -DNOT_OUT=<regexes stdout must not match>
#   -DMAX_SECONDS=<the longest the run may take, to the second; empty: no limit>
# The program runs in WORK, so relative paths in a script resolve there.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
foreach(item IN LISTS COPY)
    file(COPY ${item} DESTINATION ${WORK})
endforeach()
set(input "")
if(INPUT)
    set(input INPUT_FILE ${INPUT})
endif()
# Output goes to files, not pipes: a local server that COM starts from the program inherits its
# handles under Wine, and a pipe would stay open for as long as that server runs.
string(TIMESTAMP begin "%s" UTC)
execute_process(COMMAND ${RUN} ${EXE} ${ARGS} WORKING_DIRECTORY ${WORK} ${input}
    RESULT_VARIABLE code OUTPUT_FILE ${WORK}.out ERROR_FILE ${WORK}.err TIMEOUT 100)
string(TIMESTAMP end "%s" UTC)
file(READ ${WORK}.out out)
file(READ ${WORK}.err err)
math(EXPR took "${end} - ${begin}")
message("--- exit ${code} after ${took} s\n--- stdout\n${out}--- stderr\n${err}")
set(failed "")
# Under Wine a crashed program ends with exit code 0 after the debugger's backtrace.
if(out MATCHES "wine: Unhandled|Unhandled exception" OR err MATCHES "wine: Unhandled|Unhandled exception")
    string(APPEND failed "the program crashed\n")
endif()
if(MAX_SECONDS AND took GREATER MAX_SECONDS)
    string(APPEND failed "took ${took} s, at most ${MAX_SECONDS} s expected\n")
endif()
if(NOT code STREQUAL EXIT)
    string(APPEND failed "exit code ${code}, expected ${EXIT}\n")
endif()
foreach(stream OUT ERR)
    set(text ${out})
    if(stream STREQUAL "ERR")
        set(text ${err})
    endif()
    foreach(pattern IN LISTS ${stream})
        if(NOT text MATCHES "${pattern}")
            string(APPEND failed "${stream} does not match: ${pattern}\n")
        endif()
    endforeach()
endforeach()
foreach(pattern IN LISTS NOT_OUT)
    if(out MATCHES "${pattern}")
        string(APPEND failed "stdout matches what it must not: ${pattern}\n")
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR ${failed})
endif()
