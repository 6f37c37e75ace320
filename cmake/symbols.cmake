# Symbols a maintainer can use on a fault, for the modules a release installs:
#
#   qar_release_symbols(TARGET DESTINATION)
#
# The build tree keeps each module whole (debug information inside, for the tests and a debugger) and
# writes its debug information beside it as <module>.debug (objcopy --only-keep-debug). The install
# strips the installed module (--strip-all) and links it to that file by name and checksum (GNU
# debuglink), which addr2line and gdb follow to a <module>.debug in the module's folder. The debug
# files are a component of their own, left out of a plain install:
#
#   cmake --install build/mingw --prefix <dir> --component debug
find_program(QAR_OBJCOPY NAMES ${CMAKE_OBJCOPY} x86_64-w64-mingw32-objcopy REQUIRED)

# The debug file alone, for a module that only a package ships (installer/make-package.sh strips the
# modules it packs that have one).
function(qar_debug_file target destination)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${QAR_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
        VERBATIM)
    install(FILES $<TARGET_FILE:${target}>.debug DESTINATION ${destination} COMPONENT debug EXCLUDE_FROM_ALL)
endfunction()

function(qar_release_symbols target destination)
    qar_debug_file(${target} ${destination})
    # Runs after the module's own install rule, which comes first in the same directory.
    install(CODE "
        set(module \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>\")
        execute_process(COMMAND \"${QAR_OBJCOPY}\" --strip-all
            \"--add-gnu-debuglink=$<TARGET_FILE:${target}>.debug\" \"\${module}\" RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR \"objcopy could not strip \${module}\")
        endif()" COMPONENT library)
endfunction()
