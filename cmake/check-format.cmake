# Checks that every tracked C/C++ source follows the tree's .clang-format: clang-format's dry run
# with warnings as errors, so one unformatted line fails and names its file and line.
# Usage: cmake -DCLANG_FORMAT=... -DSOURCE_DIR=... -P check-format.cmake
if(NOT CLANG_FORMAT)
    message(FATAL_ERROR "clang-format not found (Debian package clang-format; cmake/install-deps.sh installs it)")
endif()
# The tracked files, not a glob: build trees and scratch copies inside the source folder do not count.
execute_process(COMMAND git ls-files -- "*.c" "*.cpp" "*.h" "*.hpp" WORKING_DIRECTORY ${SOURCE_DIR}
    OUTPUT_VARIABLE listed RESULT_VARIABLE rc ERROR_QUIET)
if(NOT rc EQUAL 0)
    # An exported tree without git: the top-level source folders by glob, never a build tree (its
    # Wine prefixes hold whole drives).
    file(GLOB folders RELATIVE ${SOURCE_DIR} LIST_DIRECTORIES true ${SOURCE_DIR}/*)
    set(listed "")
    foreach(folder IN LISTS folders)
        if(IS_DIRECTORY ${SOURCE_DIR}/${folder} AND NOT folder MATCHES "^(build|\\.)")
            file(GLOB_RECURSE found RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${folder}/*.c
                 ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.hpp)
            list(APPEND listed ${found})
        endif()
    endforeach()
else()
    string(REGEX REPLACE "\n$" "" listed "${listed}")
    string(REPLACE "\n" ";" listed "${listed}")
endif()
list(LENGTH listed count)
execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${listed} WORKING_DIRECTORY ${SOURCE_DIR}
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${count} files checked: some do not follow .clang-format (run clang-format -i on them)")
endif()
message(STATUS "${count} files follow .clang-format")
