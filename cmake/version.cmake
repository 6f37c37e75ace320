# The project's one version (project(... VERSION ...)) in every PE module: a VERSIONINFO resource
# configured from resources/version.rc.in per module, and qar_version.h for the programs' own text.
#
#   qar_version_resource(TARGET FILE DESCRIPTION)   e.g. (qarsldw qarsldw.exe "Command-line host ...")
configure_file(${PROJECT_SOURCE_DIR}/resources/qar_version.h.in ${PROJECT_BINARY_DIR}/qar_version.h @ONLY)

function(qar_version_resource target file description)
    set(QAR_MODULE_NAME ${target})
    set(QAR_MODULE_FILE ${file})
    set(QAR_MODULE_DESCRIPTION ${description})
    if(file MATCHES "\\.exe$")
        set(QAR_MODULE_TYPE VFT_APP)
    else()
        set(QAR_MODULE_TYPE VFT_DLL)
    endif()
    set(rc ${PROJECT_BINARY_DIR}/version/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
