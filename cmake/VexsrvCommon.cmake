# Warning flags, sanitizers and the Windows import library.

function(vexsrv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Werror)
  if(WIN32)
    target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
  endif()
endfunction()

# Windows programs carry their runtime, so Wine needs only system DLLs.
if(WIN32)
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

if(VEXSRV_SANITIZE)
  add_compile_options(-fsanitize=${VEXSRV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VEXSRV_SANITIZE})
endif()

# The DLL exports undecorated names for stdcall functions, which a linker
# cannot match with the decorated symbols callers reference. The import
# library is therefore made from the .def with each symbol mapped to its
# export name ("Symbol@N == ExportName").
function(vexsrv_import_library target def_file)
  set(import_def ${CMAKE_CURRENT_BINARY_DIR}/${target}-import.def)
  set(import_lib ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/lib${target}.dll.a)
  add_custom_command(
    OUTPUT ${import_lib}
    COMMAND ${CMAKE_COMMAND} -DIN=${def_file} -DOUT=${import_def}
            -P ${PROJECT_SOURCE_DIR}/cmake/ImportDef.cmake
    COMMAND i686-w64-mingw32-dlltool --dllname ${target}.dll --input-def ${import_def}
            --output-lib ${import_lib}
    DEPENDS ${def_file} ${PROJECT_SOURCE_DIR}/cmake/ImportDef.cmake
    COMMENT "Import library for ${target}.dll")
  # The same import library under the name Microsoft's linker looks for
  # (vexsrvapi.lib): an archive of COFF import objects that link.exe and
  # lld-link read as they read their own.
  set(msvc_lib ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/${target}.lib)
  add_custom_command(
    OUTPUT ${msvc_lib}
    COMMAND i686-w64-mingw32-dlltool --dllname ${target}.dll --input-def ${import_def}
            --output-lib ${msvc_lib}
    DEPENDS ${import_lib}
    COMMENT "Import library for ${target}.dll (Microsoft name)")
  add_custom_target(${target}_implib ALL DEPENDS ${import_lib} ${msvc_lib})
  add_dependencies(${target}_implib ${target})
  # What callers link: the import library, never the DLL's internals.
  add_library(${target}_import INTERFACE)
  target_link_libraries(${target}_import INTERFACE ${import_lib})
  target_include_directories(${target}_import INTERFACE ${PROJECT_SOURCE_DIR}/include)
  add_dependencies(${target}_import ${target}_implib)
  set_property(GLOBAL PROPERTY VEXSRV_IMPORT_LIB ${import_lib})
  set_property(GLOBAL PROPERTY VEXSRV_MSVC_IMPORT_LIB ${msvc_lib})
endfunction()
