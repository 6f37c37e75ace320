# Registers (-DSTEP=register) or unregisters (-DSTEP=unregister) the automation server machine-wide
# through Wine's regsvr32, then checks the registry with reg.exe.
#   -DRUN=<wine-run.sh;prefix>  -DMODULE=<QarSldwAutomation_x64.dll>
# regsvr32 is given the file name in its own folder: Wine's LoadLibrary does not take the Unix path.
cmake_minimum_required(VERSION 3.25)
get_filename_component(folder ${MODULE} DIRECTORY)
get_filename_component(name ${MODULE} NAME)
set(classes "HKLM\\Software\\Classes")
set(keys "QarSldw.Connector" "QarSldw.Connector.1" "CLSID\\{226D21B3-6AF4-41B0-9221-BC6D241D30CE}"
    "TypeLib\\{1623AF82-6CC0-4734-9371-CFA2D3298D91}" "Interface\\{77E791F9-2EC0-48A4-9FD1-56B800B04EA4}"
    "Interface\\{8152206F-852C-4439-B5B2-1E473664EE4E}")
if(STEP STREQUAL "register")
    set(flags /s)
else()
    set(flags /u /s)
endif()
execute_process(COMMAND ${RUN} regsvr32 ${flags} ${name} WORKING_DIRECTORY ${folder} RESULT_VARIABLE code)
if(NOT code EQUAL 0)
    message(FATAL_ERROR "regsvr32 ${flags} ${name} ended with ${code}")
endif()
foreach(key IN LISTS keys)
    execute_process(COMMAND ${RUN} reg query "${classes}\\${key}" /s RESULT_VARIABLE code OUTPUT_VARIABLE out
        ERROR_QUIET)
    if(STEP STREQUAL "register" AND NOT code EQUAL 0)
        message(FATAL_ERROR "registered, but ${key} is missing")
    elseif(STEP STREQUAL "unregister" AND code EQUAL 0)
        message(FATAL_ERROR "unregistered, but ${key} is left:\n${out}")
    endif()
    if(key STREQUAL "CLSID\\{226D21B3-6AF4-41B0-9221-BC6D241D30CE}" AND STEP STREQUAL "register")
        set(server "InprocServer32[^\n]*\n[^\n]*REG_SZ[^\n]*:[^\n]*${name}\n[^\n]*ThreadingModel[^\n]*Apartment")
        if(NOT out MATCHES "${server}")
            message(FATAL_ERROR "the class names no in-process server ${name} (Apartment):\n${out}")
        endif()
    endif()
    message(STATUS "${STEP}: ${key}: ${code}")
endforeach()
