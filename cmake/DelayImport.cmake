# Delay-import libraries for system DLLs that are not known DLLs.
#
# Windows maps a known DLL (kernel32, user32, advapi32, ws2_32, ...) from its system copy, but
# looks for any other imported DLL in the program's own folder first, before the program's first
# instruction runs. The bootstrapper runs from a Downloads folder, so it must not import such a
# DLL the ordinary way: linked against a library made here, the DLL is absent from the import
# table and is loaded at the first call, from the system directory (the delay-load hook in
# src/app/system_library.cpp).
#
#   rora_delay_import(crypt32 bcrypt ...)   defines the IMPORTED targets delayload::<name>
#
# cmake/delayload/<name>.def names the DLL and the functions used, with their stdcall argument
# sizes (Name@N). Every one of them is forced into the link (-u): GNU ld drops the stub of an
# import-library member whose only reference is its __imp_ pointer, which is right for an
# ordinary import but leaves a null pointer in a delay-import table, and callers that declare
# the function dllimport (libcurl through wincrypt.h) reference nothing else.

set(RORA_DELAY_DEF_DIR ${CMAKE_CURRENT_LIST_DIR}/delayload)

function(rora_delay_import)
    set(out_dir ${CMAKE_BINARY_DIR}/delayload)
    file(MAKE_DIRECTORY ${out_dir})
    foreach(name IN LISTS ARGN)
        set(def ${RORA_DELAY_DEF_DIR}/${name}.def)
        set(lib ${out_dir}/lib${name}_delay.a)
        # A relative output name and a fixed temporary prefix keep the library, and the symbol
        # names derived from them, the same in every build directory.
        add_custom_command(OUTPUT ${lib}
            COMMAND ${CMAKE_COMMAND} -E rm -f lib${name}_delay.a
            COMMAND ${CMAKE_DLLTOOL} -d ${def} -y lib${name}_delay.a -k -t ${name}_delay
            DEPENDS ${def}
            WORKING_DIRECTORY ${out_dir}
            COMMENT "Delay-import library for ${name}.dll"
            VERBATIM)
        add_custom_target(delayload_${name}_lib DEPENDS ${lib})

        file(STRINGS ${def} functions REGEX "^[ \t]+[A-Za-z_][A-Za-z0-9_]*@[0-9]+[ \t]*$")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
        set(keep "")
        foreach(function IN LISTS functions)
            string(STRIP "${function}" function)
            list(APPEND keep "LINKER:-u,_${function}")
        endforeach()
        if(NOT keep)
            message(FATAL_ERROR "${def} lists no function")
        endif()

        add_library(delayload::${name} STATIC IMPORTED GLOBAL)
        set_target_properties(delayload::${name} PROPERTIES
            IMPORTED_LOCATION ${lib}
            INTERFACE_LINK_OPTIONS "${keep}")
        add_dependencies(delayload::${name} delayload_${name}_lib)
    endforeach()
endfunction()
