# Installation, the CMake package, pkg-config and the Windows distribution.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEXSRV_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vexsrvapi)

# Components, one per Debian package: runtime (the shared library), dev
# (headers and package files) and service (the service and the tool).
install(TARGETS vexsrvapi
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/vexsrvapi-linker COMPONENT dev EXCLUDE_FROM_ALL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES ${VEXSRV_GENERATED_DIR}/vexsrv/version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vexsrv COMPONENT dev)
if(WIN32)
  get_property(_implib GLOBAL PROPERTY VEXSRV_IMPORT_LIB)
  get_property(_msvc_implib GLOBAL PROPERTY VEXSRV_MSVC_IMPORT_LIB)
  install(FILES ${_implib} ${_msvc_implib} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  install(FILES ${PROJECT_SOURCE_DIR}/exports/vexsrvapi.def DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT runtime)
else()
  # Paths relative to the .pc file's own folder, computed for whatever library
  # folder it lands in, so that the installed tree can move; a folder given
  # as an absolute path stays absolute.
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(VEXSRV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  else()
    file(RELATIVE_PATH _pc_up "/_/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/_")
    string(REGEX REPLACE "/$" "" _pc_up "${_pc_up}")
    set(VEXSRV_PC_PREFIX "\${pcfiledir}/${_pc_up}")
  endif()
  foreach(_kind LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${_kind}}")
      set(VEXSRV_PC_${_kind} "${CMAKE_INSTALL_${_kind}}")
    else()
      set(VEXSRV_PC_${_kind} "\${prefix}/${CMAKE_INSTALL_${_kind}}")
    endif()
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/vexsrvapi.pc.in ${VEXSRV_GENERATED_DIR}/vexsrvapi.pc @ONLY)
  install(FILES ${VEXSRV_GENERATED_DIR}/vexsrvapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# The command-line tool and the service, where this tree builds them.
foreach(_program vexsrv tidewell-taskd)
  if(TARGET ${_program})
    install(TARGETS ${_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
  endif()
endforeach()
# A library folder the loader searches anyway needs no run path (and Debian
# forbids one there).
if(TARGET vexsrv AND NOT WIN32 AND CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set_target_properties(vexsrv PROPERTIES INSTALL_RPATH "")
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/vexsrvapiConfig.cmake.in
  ${VEXSRV_GENERATED_DIR}/vexsrvapiConfig.cmake
  INSTALL_DESTINATION ${VEXSRV_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${VEXSRV_GENERATED_DIR}/vexsrvapiConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${VEXSRV_GENERATED_DIR}/vexsrvapiConfig.cmake ${VEXSRV_GENERATED_DIR}/vexsrvapiConfigVersion.cmake
  DESTINATION ${VEXSRV_PACKAGE_DIR} COMPONENT dev)

if(NOT WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/DebianPackages.cmake)
endif()

# The Windows distribution archive: `cmake --build build/win --target dist`.
if(WIN32)
  set(_dist_name vexsrvapi-${PROJECT_VERSION}-win32)
  set(_dist_root ${CMAKE_BINARY_DIR}/dist/${_dist_name})
  set(VEXSRV_DIST_ARCHIVE ${CMAKE_BINARY_DIR}/dist/${_dist_name}.zip CACHE INTERNAL "")
  add_custom_target(dist
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_dist_root}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${_dist_root}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/windows-distribution.md ${_dist_root}/README.txt
    COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/dist
            ${CMAKE_COMMAND} -E tar cf ${_dist_name}.zip --format=zip ${_dist_name}
    COMMENT "Windows distribution ${_dist_name}.zip"
    VERBATIM)
  add_dependencies(dist vexsrvapi vexsrvapi_implib)
  foreach(_program vexsrv tidewell-taskd)
    if(TARGET ${_program})
      add_dependencies(dist ${_program})
    endif()
  endforeach()
endif()
