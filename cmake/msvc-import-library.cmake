# Makes the Microsoft-format import library of a DLL from the DLL's own export table, so that the list
# a Visual Studio host links against cannot drift from what the module exports.
# Only the C interface's functions (qar_*) go into it: the other exports are C++ names decorated the
# Itanium way (_ZN6QARCAX...), which a Microsoft-ABI compiler never asks for (it decorates the same
# declarations as ?NewCommand@CaxConnector@QARCAX@@...), and some of them are data (function tables,
# type information) that a host would have to declare as such.
# Usage: cmake -DOBJDUMP=... -DDLLTOOL=... -DMODULE=X.dll -DDEF=X.def -DLIB=X.lib -P msvc-import-library.cmake
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${MODULE}")
endif()
# The export table's name lines read "\t[  27] qar_command_close_file".
string(REGEX MATCHALL "\\[ *[0-9]+\\] qar_[A-Za-z0-9_]+" entries "${dump}")
if(NOT entries)
    message(FATAL_ERROR "${MODULE} exports no qar_* function")
endif()
get_filename_component(module_name ${MODULE} NAME)
set(def "; The C interface of ${module_name}, read from its export table when it was built.\n")
string(APPEND def "LIBRARY ${module_name}\nEXPORTS\n")
foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
    string(APPEND def "    ${name}\n")
endforeach()
file(WRITE ${DEF} "${def}")
execute_process(COMMAND ${DLLTOOL} -m i386:x86-64 -d ${DEF} -l ${LIB} RESULT_VARIABLE rc ERROR_VARIABLE error)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "llvm-dlltool failed on ${DEF}: ${error}")
endif()
