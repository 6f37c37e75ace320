# The MSI package under Wine's msiexec, in a prefix of its own (fixtures wine_installer and
# wine_installer_sim: the simulator registered from the build tree). One group, run in this order
# (tests/installer_test.sh holds the steps; they share tests/installer/, the packages built there, and
# each fails at once when the one before it did not pass):
#   packages   this build's package and an older one (0.9.0, its files altered) built with wixl
#   install    the older package silently into a chosen folder that already holds the add-in
#   upgrade    this build's package without INSTALLDIR: one product, this build's files, same folder
#   doctor     qarsldw doctor from the installed folder
#   session    the VBScript session through the installed automation server
#   downgrade  the older package again: refused, nothing changed
#   registration  the package's registry entries equal what DllRegisterServer writes
#   repair     a deleted file restored by a reinstall
#   remove     msiexec /x: the prefix's files and registry as before the install
#   signing    the signing round trip with a throwaway certificate (no Wine)
# The prefix is made anew on each run: the removal is compared with the state before the installation.
qar_private_sim_prefix(installer installer FRESH)
set(qar_installer_work ${CMAKE_CURRENT_BINARY_DIR}/installer)
file(GENERATE OUTPUT ${qar_installer_work}/config.sh CONTENT "\
prefix='${QAR_PREFIX_installer}'
work='${qar_installer_work}'
source='${PROJECT_SOURCE_DIR}'
version='${PROJECT_VERSION}'
idl='${QAR_PACKAGE_IDL}'
library='$<TARGET_FILE:QarSldwInterface_x64>'
automation='$<TARGET_FILE:QarSldwAutomation_x64>'
cli='$<TARGET_FILE:qarsldw>'
addin='$<TARGET_FILE:BrivexSw18_x64>'
")
set(qar_installer_steps packages install upgrade doctor session downgrade registration repair remove)
set(previous installer.register)
foreach(step ${qar_installer_steps})
    add_test(NAME installer.${step}
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/installer_test.sh ${step} ${qar_installer_work}/config.sh)
    set_tests_properties(installer.${step} PROPERTIES FIXTURES_REQUIRED "wine_installer;wine_installer_sim"
        DEPENDS ${previous} TIMEOUT 120 ENVIRONMENT "LC_ALL=C.UTF-8;QARCADSIM_LIFETIME=120"
        FAIL_REGULAR_EXPRESSION "${QAR_TEST_FAILURES}")
    set(previous installer.${step})
endforeach()
add_test(NAME installer.signing
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/installer_test.sh signing ${qar_installer_work}/config.sh)
set_tests_properties(installer.signing PROPERTIES TIMEOUT 120)
