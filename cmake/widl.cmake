# qar_widl(IDL file [HEADER out] [IIDS out] [TYPELIB out]): widl's outputs for one IDL file, one kind
# per run (widl writes one kind of output per run). Every IDL of this project imports the minimal base
# IDL in Public/idl; a type library takes IUnknown and IDispatch from Wine's stdole2.tlb.
find_file(QAR_STDOLE2_TLB stdole2.tlb
    PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
get_filename_component(QAR_STDOLE2_DIR ${QAR_STDOLE2_TLB} DIRECTORY)

function(qar_widl)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "IDL;HEADER;IIDS;TYPELIB" "")
    set(flags -I${PROJECT_SOURCE_DIR}/Public/idl)
    set(depends ${arg_IDL} ${PROJECT_SOURCE_DIR}/Public/idl/oaidl.idl)
    foreach(kind HEADER IIDS TYPELIB)
        if(NOT arg_${kind})
            continue()
        endif()
        set(switch -h)
        if(kind STREQUAL "IIDS")
            set(switch -u)
        elseif(kind STREQUAL "TYPELIB")
            set(switch -L ${QAR_STDOLE2_DIR} -t)
        endif()
        add_custom_command(OUTPUT ${arg_${kind}}
            COMMAND ${QAR_WIDL} ${flags} ${switch} -o ${arg_${kind}} ${arg_IDL}
            DEPENDS ${depends} VERBATIM)
    endforeach()
endfunction()
