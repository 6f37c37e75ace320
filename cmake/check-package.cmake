# Installs the build tree into scratch prefixes and builds a host project against the installed
# package, then runs the host under Wine.
# Then the Microsoft-ABI host project (MSVC_HOST_SOURCE) is built against the same package with a
# Microsoft-style toolchain: its C target must link through the .lib, and the host import only qar_*.
# Usage: cmake -DBUILD_DIR=... -DHOST_SOURCE=... -DMSVC_HOST_SOURCE=... -DWORK_DIR=... -DTOOLCHAIN=...
#        -DOBJDUMP=... -DADDR2LINE=... -DWINE_RUN=... -DWINE_PREFIX=... -P check-package.cmake
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
set(simulator_prefix ${WORK_DIR}/simulator-prefix)

# A plain install: the library and the package, nothing of the simulator.
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file bin/QarSldwInterface_x64.dll lib/libQarSldwInterface_x64.dll.a lib/QarSldwInterface_x64.lib
             lib/QarSldwInterface_x64.def include/QarSldwInterface.h
             include/qar_c_api.h include/Public/cax_command.h include/sldw/sldw_connector.h
             lib/cmake/QarSldwInterface/QarSldwInterfaceConfig.cmake
             lib/cmake/QarSldwInterface/QarSldwInterfaceConfigVersion.cmake)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "a plain install lacks ${file}")
    endif()
endforeach()
file(GLOB_RECURSE simulator_files ${prefix}/*qarcadsim* ${prefix}/*BrivexSw18* ${prefix}/*.sldasm)
if(simulator_files)
    message(FATAL_ERROR "a plain install holds simulator files: ${simulator_files}")
endif()

# Released modules are stripped and name their debug file; the debug files only when asked for, beside
# them, where addr2line finds the function and line of an address in the module (README, "Symbols").
set(dll ${prefix}/bin/QarSldwInterface_x64.dll)
foreach(module ${dll} ${prefix}/bin/QarSldwAutomation_x64.dll)
    execute_process(COMMAND ${OBJDUMP} -h ${module} OUTPUT_VARIABLE sections)
    if(sections MATCHES "\\.debug_" OR NOT sections MATCHES "\\.gnu_debuglink" OR EXISTS ${module}.debug)
        message(FATAL_ERROR "${module}: not stripped, no debug link, or its debug file in a plain install")
    endif()
endforeach()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component debug)
execute_process(COMMAND ${OBJDUMP} -p ${dll} OUTPUT_VARIABLE dump)
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" ignored "${dump}")
set(base ${CMAKE_MATCH_1})
# The export table lists "[  35] +base[  36] bcd0 Export RVA" by index and "[  35] qar_command_open_file"
# by name.
string(REGEX MATCH "\\[ *([0-9]+)\\] qar_command_open_file\n" ignored "${dump}")
string(REGEX MATCH "\\[ *${CMAKE_MATCH_1}\\] \\+base\\[ *[0-9]+\\] ([0-9a-f]+) Export RVA" ignored "${dump}")
math(EXPR address "0x${base} + 0x${CMAKE_MATCH_1}" OUTPUT_FORMAT HEXADECIMAL)
run(${ADDR2LINE} -f -e ${dll} ${address})
if(NOT output MATCHES "^qar_command_open_file\n[^\n]*c_interface\\.cpp:[0-9]+")
    message(FATAL_ERROR "addr2line on the installed library at ${address} (qar_command_open_file): ${output}")
endif()

# The simulator only when asked for, in a folder of its own.
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${simulator_prefix} --component simulator)
file(GLOB_RECURSE installed RELATIVE ${simulator_prefix} ${simulator_prefix}/*)
list(SORT installed)
set(expected simulator/BrivexSw18_x64.dll simulator/include/simulator/sim_client.h
    simulator/include/simulator/sim_control.h simulator/qarcadsim.exe simulator/samples/bolt.sldprt
    simulator/samples/clamp.sldasm simulator/samples/clamp.slddrw simulator/samples/plate.sldprt)
if(NOT installed STREQUAL expected)
    message(FATAL_ERROR "the simulator component installed: ${installed}\nexpected: ${expected}")
endif()

# The host project. The toolchain confines find_package to the mingw sysroot
# (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY), so the package folder is named directly.
run(${CMAKE_COMMAND} -S ${HOST_SOURCE} -B ${WORK_DIR}/host -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DQarSldwInterface_DIR=${prefix}/lib/cmake/QarSldwInterface)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/host)
run(sh ${WINE_RUN} ${WINE_PREFIX} ${WORK_DIR}/host/package_host.exe)
message(STATUS "${output}")

run(${CMAKE_COMMAND} -S ${MSVC_HOST_SOURCE} -B ${WORK_DIR}/msvc_host -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_TOOLCHAIN_FILE=${MSVC_HOST_SOURCE}/toolchain-clang-msvc.cmake
    -DQarSldwInterface_DIR=${prefix}/lib/cmake/QarSldwInterface)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/msvc_host)
file(READ ${WORK_DIR}/msvc_host/implib.txt implib)
if(NOT implib STREQUAL "${prefix}/lib/QarSldwInterface_x64.lib")
    message(FATAL_ERROR "QarSldwInterface::C links a Microsoft-style host through '${implib}'")
endif()
run(${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DMODULE=${WORK_DIR}/msvc_host/msvc_c_host.exe
    -DLIBRARY=QarSldwInterface_x64.dll -P ${CMAKE_CURRENT_LIST_DIR}/check-module.cmake)
message(STATUS "${output}")
