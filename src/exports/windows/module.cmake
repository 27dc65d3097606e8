# connwalk.dll: the four exports of connwalk.def at their ordinals, the
# version record, and no dependence on the compiler's runtime DLLs.
enable_language(RC)

set(_connwalk_def ${CMAKE_CURRENT_LIST_DIR}/connwalk.def)
target_sources(connwalk PRIVATE ${CMAKE_CURRENT_LIST_DIR}/dll_main.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/version.rc
                                ${_connwalk_def})
set_target_properties(connwalk PROPERTIES
    OUTPUT_NAME connwalk
    PREFIX ""
    IMPORT_PREFIX "lib"
    IMPORT_SUFFIX ".dll.a")

# --kill-at drops the __stdcall decoration from the exported names; the C
# and C++ runtimes are linked in, so the module needs only system DLLs.
target_link_options(connwalk PRIVATE -static "LINKER:--kill-at")
set_property(TARGET connwalk APPEND PROPERTY LINK_DEPENDS ${_connwalk_def})

# The import library that the linker writes names the 32-bit functions
# without their decoration, which no caller compiled with connwalk.h asks
# for; it is made again from the .def, decorated symbols importing the plain
# names.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    if(NOT CMAKE_DLLTOOL)
        message(FATAL_ERROR "The 32-bit import library needs dlltool (CMAKE_DLLTOOL)")
    endif()
    add_custom_command(TARGET connwalk POST_BUILD
        COMMAND ${CMAKE_DLLTOOL} --input-def ${_connwalk_def} --dllname connwalk.dll --kill-at
                --output-lib $<TARGET_LINKER_FILE:connwalk>
        VERBATIM)
endif()
unset(_connwalk_def)
