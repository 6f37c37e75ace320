# Hosts built apart from the library: the installed package with a host project built against it
# (package.install_and_host), and the C interface's hosts (capi.*: a Microsoft-ABI C host and a C++
# host on the hourglass header). The C interface's session from the shared test support is in
# tests/host_session_test.cpp.

# The package: a plain install into a scratch prefix, the simulator component into another, and a
# host project configured and built against the first with the same toolchain, run under Wine.
add_test(NAME package.install_and_host
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DHOST_SOURCE=${CMAKE_CURRENT_SOURCE_DIR}/package_host
            -DMSVC_HOST_SOURCE=${CMAKE_CURRENT_SOURCE_DIR}/msvc_host -DOBJDUMP=${CMAKE_OBJDUMP}
            -DADDR2LINE=${CMAKE_ADDR2LINE} -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package_host -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}
            -DWINE_RUN=${PROJECT_SOURCE_DIR}/cmake/wine-run.sh -DWINE_PREFIX=${QAR_WINEPREFIX}
            -P ${PROJECT_SOURCE_DIR}/cmake/check-package.cmake)
set_tests_properties(package.install_and_host PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300
    FAIL_REGULAR_EXPRESSION "${QAR_TEST_FAILURES}" ENVIRONMENT "LC_ALL=en_US.UTF-8")

# A host built with Microsoft's binary interface and no mingw part (tests/msvc_host/msvc_c_host.c):
# clang for the Microsoft target with the compiler's own headers only, lld-link with the Microsoft-format
# import libraries only (the library's QarSldwInterface_x64.lib and one of kernel32's functions made
# from tests/msvc_host/kernel32.def), no C runtime. It runs a session against the simulator in the
# hosts' installation folder, and its import table names the library's C functions only.
set(msvc_host ${QAR_HOST_DIR}/msvc_c_host.exe)
set(msvc_work ${CMAKE_CURRENT_BINARY_DIR}/msvc_host)
add_custom_command(OUTPUT ${msvc_host}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${msvc_work}
    COMMAND ${QAR_LLVM_DLLTOOL} -m i386:x86-64 -d ${CMAKE_CURRENT_SOURCE_DIR}/msvc_host/kernel32.def
            -l ${msvc_work}/kernel32.lib
    # No C runtime: no stack probe (__chkstk) and no default libraries (libcmt) asked for.
    COMMAND ${QAR_MSVC_CLANG} --target=x86_64-pc-windows-msvc -nostdlibinc -O1 -Wall -Wextra -Werror
            -mno-stack-arg-probe -I${PROJECT_SOURCE_DIR}/include
            -c ${CMAKE_CURRENT_SOURCE_DIR}/msvc_host/msvc_c_host.c -o ${msvc_work}/msvc_c_host.obj
    COMMAND ${QAR_LLD_LINK} /nologo /entry:HostMain /subsystem:console /nodefaultlib /out:${msvc_host}
            ${msvc_work}/msvc_c_host.obj ${QAR_MSVC_LIB} ${msvc_work}/kernel32.lib
    DEPENDS msvc_host/msvc_c_host.c msvc_host/kernel32.def ${PROJECT_SOURCE_DIR}/include/qar_c_api.h
            ${QAR_MSVC_LIB} qar_msvc_import_library
    COMMENT "Building the Microsoft-ABI test host msvc_c_host.exe" VERBATIM)
add_custom_target(msvc_c_host ALL DEPENDS ${msvc_host})
add_dependencies(msvc_c_host qar_host_folder)
add_test(NAME capi.msvc_host_session COMMAND ${QAR_WINE_RUN} ${msvc_host})
set_tests_properties(capi.msvc_host_session PROPERTIES FIXTURES_REQUIRED "wine;simulator" TIMEOUT 120
    RESOURCE_LOCK simulator_server ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120"
    FAIL_REGULAR_EXPRESSION "FAILED;${QAR_TEST_FAILURES}")
add_test(NAME module.msvc_host_imports
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DMODULE=${msvc_host} -DLIBRARY=QarSldwInterface_x64.dll
            -P ${PROJECT_SOURCE_DIR}/cmake/check-module.cmake)

# A C++ host written against qar_hourglass.hpp alone, built by g++ against the installed-style headers
# and linked with the import library: the same session, its text results read past the header's first
# buffer (made 8 characters here), and only qar_* functions imported from the DLL.
add_executable(hourglass_host hourglass_host/hourglass_host.cpp)
add_dependencies(hourglass_host qar_sdk_headers qar_host_folder)
target_include_directories(hourglass_host PRIVATE ${QAR_SDK_DIR}/include)
target_compile_definitions(hourglass_host PRIVATE QAR_HOURGLASS_FIRST_BUFFER=8)
target_link_libraries(hourglass_host PRIVATE $<TARGET_LINKER_FILE:QarSldwInterface_x64> qar_settings)
target_link_options(hourglass_host PRIVATE -municode)
set_target_properties(hourglass_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QAR_HOST_DIR})
add_test(NAME capi.hourglass_host_session COMMAND ${QAR_WINE_RUN} $<TARGET_FILE:hourglass_host>)
set_tests_properties(capi.hourglass_host_session PROPERTIES FIXTURES_REQUIRED "wine;simulator" TIMEOUT 120
    RESOURCE_LOCK simulator_server ENVIRONMENT "LC_ALL=en_US.UTF-8;QARCADSIM_LIFETIME=120"
    FAIL_REGULAR_EXPRESSION "FAILED;${QAR_TEST_FAILURES}")
add_test(NAME module.hourglass_host_imports
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DMODULE=$<TARGET_FILE:hourglass_host>
            -DLIBRARY=QarSldwInterface_x64.dll -P ${PROJECT_SOURCE_DIR}/cmake/check-module.cmake)
