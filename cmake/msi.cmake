# The release artefacts (make package): the runtime's MSI package and the SDK archive, both in
# build/mingw/release/:
#   QarSldwInterface-<version>-x64.msi      per-machine package for administrators (installer/)
#   QarSldwInterface-<version>-x64-sdk.zip  headers, import library and CMake package for host builds
# Signing: when a certificate is configured (installer/sign.sh says how), the modules are signed before
# they are packed, then the package and the archive's modules; otherwise the build says UNSIGNED.
# The cache entries below name files only; a password comes from a file or the environment.
set(QAR_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(QAR_MSI ${QAR_RELEASE_DIR}/QarSldwInterface-${PROJECT_VERSION}-x64.msi)
set(QAR_SDK_ZIP ${QAR_RELEASE_DIR}/QarSldwInterface-${PROJECT_VERSION}-x64-sdk.zip)
# The files the package installs, in the order make-package.sh takes them (tests reuse the list).
set(QAR_PACKAGE_FILES $<TARGET_FILE:QarSldwInterface_x64> $<TARGET_FILE:QarSldwAutomation_x64>
    $<TARGET_FILE:qarsldw>)
set(QAR_PACKAGE_IDL ${PROJECT_SOURCE_DIR}/automation/qarsldw_automation.idl)

set(qar_sign_environment "")
foreach(entry QAR_SIGN_PKCS12 QAR_SIGN_CERT QAR_SIGN_KEY QAR_SIGN_PASSWORD_FILE QAR_SIGN_TIMESTAMP_URL)
    set(${entry} "" CACHE STRING "Code signing for make package (see installer/sign.sh); empty: the environment's")
    if(${entry})
        list(APPEND qar_sign_environment "${entry}=${${entry}}")
    endif()
endforeach()

add_custom_target(qar_package
    COMMAND ${CMAKE_COMMAND} -E env ${qar_sign_environment}
            bash ${PROJECT_SOURCE_DIR}/installer/make-package.sh ${PROJECT_VERSION} ${QAR_MSI} ${QAR_PACKAGE_IDL}
            ${QAR_PACKAGE_FILES}
    COMMAND ${CMAKE_COMMAND} -E env ${qar_sign_environment}
            bash ${PROJECT_SOURCE_DIR}/installer/make-sdk.sh ${CMAKE_BINARY_DIR} ${QAR_SDK_ZIP}
    DEPENDS QarSldwInterface_x64 QarSldwAutomation_x64 qarsldw
    COMMENT "Building the MSI package and the SDK archive in ${QAR_RELEASE_DIR}"
    VERBATIM)
