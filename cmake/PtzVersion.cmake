# The one version of the project: CMake's project version, with the git description of the
# checkout where there is one. Sets PTZ_VERSION (with PTZ_VERSION_TWEAK, commits since the
# release tag, and PTZ_SOURCE_DATE_EPOCH) and the INTERFACE library ptz_version, whose generated header ptz_version.h
# carries it to the programs. A source tarball, or a machine without git, gets the plain
# project version.
#
#   HEAD on the release tag v1.2.0:          1.2.0
#   5 commits after the last tag:            1.2.0+5.gabc1234
#   no release tag yet:                      1.2.0+<all commits>.gabc1234
#
# The "+" form sorts after the release for dpkg and stays a valid version string on Windows.

# A commit or a checkout moves HEAD or the branch it names: configure again, so that the
# programs never report a stale description.
function(_ptz_watch_git_head git)
    foreach(ref HEAD packed-refs)
        execute_process(COMMAND ${git} rev-parse --git-path ${ref}
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE path
            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        list(APPEND watched "${path}")
    endforeach()
    execute_process(COMMAND ${git} symbolic-ref -q HEAD
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE branch
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(branch)
        execute_process(COMMAND ${git} rev-parse --git-path ${branch}
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE path
            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        list(APPEND watched "${path}")
    endif()
    foreach(path IN LISTS watched)
        if(NOT IS_ABSOLUTE "${path}")
            set(path "${PROJECT_SOURCE_DIR}/${path}")
        endif()
        # A file that is missing (refs not packed yet) would make every build configure again.
        if(EXISTS "${path}")
            set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                "${path}")
        endif()
    endforeach()
endfunction()

function(_ptz_git_description out_version out_tweak out_epoch)
    set(${out_version} "${PROJECT_VERSION}" PARENT_SCOPE)
    set(${out_tweak} 0 PARENT_SCOPE)
    set(${out_epoch} "" PARENT_SCOPE)
    find_package(Git QUIET)
    if(NOT GIT_FOUND)
        return()
    endif()
    # Only the project's own checkout counts: a tarball unpacked inside some other repository
    # must not take that repository's history.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE top RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(failed OR NOT top)
        return()
    endif()
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${PROJECT_SOURCE_DIR}" source)
    if(NOT top STREQUAL source)
        return()
    endif()
    _ptz_watch_git_head(${GIT_EXECUTABLE})
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE epoch RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT failed AND epoch MATCHES "^[0-9]+$")
        set(${out_epoch} "${epoch}" PARENT_SCOPE)
    endif()

    execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --long --match "v[0-9]*"
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE described RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT failed AND described MATCHES "^v(.+)-([0-9]+)-g([0-9a-f]+)$")
        set(tag "${CMAKE_MATCH_1}")
        set(commits "${CMAKE_MATCH_2}")
        set(hash "${CMAKE_MATCH_3}")
        if(commits EQUAL 0 AND NOT tag STREQUAL PROJECT_VERSION)
            message(WARNING "The commit is tagged v${tag}, but the project version in "
                "CMakeLists.txt is ${PROJECT_VERSION}: the build is not called a release")
            set(mismatch TRUE)
        endif()
    else()
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE commits RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE
            ERROR_QUIET)
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE hash RESULT_VARIABLE failed2 OUTPUT_STRIP_TRAILING_WHITESPACE
            ERROR_QUIET)
        if(failed OR failed2)
            return()
        endif()
    endif()
    if(commits EQUAL 0 AND NOT mismatch)
        return()  # exactly the release
    endif()
    set(${out_version} "${PROJECT_VERSION}+${commits}.g${hash}" PARENT_SCOPE)
    # The fourth field of a Windows file version is 16 bits.
    if(commits GREATER 65535)
        set(commits 65535)
    endif()
    set(${out_tweak} ${commits} PARENT_SCOPE)
endfunction()

_ptz_git_description(PTZ_VERSION PTZ_VERSION_TWEAK PTZ_SOURCE_DATE_EPOCH)
# Dates in generated files (changelog, manual pages) are the commit's, so that one commit
# always builds the same files; a tarball takes the time of configuring.
if(NOT PTZ_SOURCE_DATE_EPOCH)
    string(TIMESTAMP PTZ_SOURCE_DATE_EPOCH "%s" UTC)
endif()
message(STATUS "ptz-upgrade version ${PTZ_VERSION}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/ptz_version.h.in
    ${PROJECT_BINARY_DIR}/generated/ptz_version.h @ONLY)
add_library(ptz_version INTERFACE)
target_include_directories(ptz_version INTERFACE ${PROJECT_BINARY_DIR}/generated)

if(WIN32)
    # Version resources (ptz_add_version_resource) are compiled by the toolchain's windres.
    enable_language(RC)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/PtzWindowsVersion.cmake)
