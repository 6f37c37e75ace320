# Hosts built with Microsoft's toolchain (Visual Studio, clang-cl): the C interface's import library
# in Microsoft's format, QarSldwInterface_x64.lib, made by llvm-dlltool from a .def that is read from the
# built DLL's export table (cmake/msvc-import-library.cmake), both beside the DLL in the build tree.
# The tests also build a host with clang and lld-link in Microsoft mode (tests/msvc_host).
find_program(QAR_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
find_program(QAR_MSVC_CLANG NAMES clang clang-14 REQUIRED)
find_program(QAR_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

set(QAR_MSVC_DEF ${CMAKE_BINARY_DIR}/QarSldwInterface_x64.def)
set(QAR_MSVC_LIB ${CMAKE_BINARY_DIR}/QarSldwInterface_x64.lib)
add_custom_command(OUTPUT ${QAR_MSVC_DEF} ${QAR_MSVC_LIB}
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLLTOOL=${QAR_LLVM_DLLTOOL}
            -DMODULE=$<TARGET_FILE:QarSldwInterface_x64> -DDEF=${QAR_MSVC_DEF} -DLIB=${QAR_MSVC_LIB}
            -P ${PROJECT_SOURCE_DIR}/cmake/msvc-import-library.cmake
    DEPENDS QarSldwInterface_x64 ${PROJECT_SOURCE_DIR}/cmake/msvc-import-library.cmake
    COMMENT "Making the Microsoft-format import library QarSldwInterface_x64.lib" VERBATIM)
add_custom_target(qar_msvc_import_library ALL DEPENDS ${QAR_MSVC_LIB})

install(FILES ${QAR_MSVC_LIB} ${QAR_MSVC_DEF} DESTINATION lib COMPONENT library)
