# ptz_add_version_resource(<target> "<file description>" "<original file name>")
#
# Gives a Windows program the version resource that File > Properties > Details shows: the
# project version (PTZ_VERSION, cmake/PtzVersion.cmake), the description and the file name.
# The resource is generated beside the target's other sources and compiled by windres; a target
# with a .rc of its own (dialogs, icons) simply has two. Does nothing outside Windows, so that
# callers need no platform test.

set(_PTZ_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

function(ptz_add_version_resource target description original_file_name)
    if(NOT WIN32)
        return()
    endif()
    if(NOT TARGET ${target})
        message(FATAL_ERROR "ptz_add_version_resource: there is no target '${target}'")
    endif()
    # Quotes and backslashes would end the resource string early.
    foreach(text IN ITEMS "${description}" "${original_file_name}")
        if(text MATCHES "[\"\\\\]")
            message(FATAL_ERROR "ptz_add_version_resource(${target}): no quotes or backslashes "
                "in '${text}'")
        endif()
    endforeach()

    set(PTZ_RC_DESCRIPTION "${description}")
    set(PTZ_RC_ORIGINAL_FILE_NAME "${original_file_name}")
    get_filename_component(PTZ_RC_INTERNAL_NAME "${original_file_name}" NAME_WE)
    set(PTZ_RC_VERSION_NUMBERS
        "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PTZ_VERSION_TWEAK}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${_PTZ_VERSION_RC_TEMPLATE} ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
