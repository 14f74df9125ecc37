# Windows version resources (file version, product name, description) from
# the project's version, compiled with windres:
#
#   pxcm_version_resource(TARGET DESCRIPTION "what it is")
#
# The description gets the build's kind appended, "(64-bit, x64)" or
# "(32-bit, x86)"; the file name and type come from the target.
enable_language(RC)

set(PXCM_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)
# As in LICENSE.
set(PXCM_RC_COPYRIGHT "Copyright (c) 2026 the pxcm developers. MIT License.")

function(pxcm_version_resource target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DESCRIPTION" "")
    if(NOT ARG_DESCRIPTION OR ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "pxcm_version_resource(${target} DESCRIPTION text)")
    endif()
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(kind "64-bit, x64")
    else()
        set(kind "32-bit, x86")
    endif()
    get_target_property(type ${target} TYPE)
    get_target_property(prefix ${target} PREFIX)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
        set(name ${target})
    endif()
    if(type STREQUAL "SHARED_LIBRARY")
        set(PXCM_RC_FILE_TYPE VFT_DLL)
        set(suffix ${CMAKE_SHARED_LIBRARY_SUFFIX})
        if(NOT prefix AND NOT prefix STREQUAL "")
            set(prefix ${CMAKE_SHARED_LIBRARY_PREFIX})
        endif()
    elseif(type STREQUAL "EXECUTABLE")
        set(PXCM_RC_FILE_TYPE VFT_APP)
        set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
        set(prefix "")
    else()
        message(FATAL_ERROR "pxcm_version_resource: ${target} is neither a DLL nor a program")
    endif()

    set(PXCM_RC_DESCRIPTION "${ARG_DESCRIPTION} (${kind})")
    set(PXCM_RC_INTERNAL_NAME ${name})
    set(PXCM_RC_FILE_NAME ${prefix}${name}${suffix})
    # Four numbers, missing ones 0.
    set(numbers ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
    list(LENGTH numbers count)
    while(count LESS 4)
        list(APPEND numbers 0)
        math(EXPR count "${count} + 1")
    endwhile()
    list(JOIN numbers "," PXCM_RC_VERSION_COMMAS)

    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PXCM_VERSION_RC_TEMPLATE} ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
