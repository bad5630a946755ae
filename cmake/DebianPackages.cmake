# The service's files for a Linux system (systemd unit, manual pages, shell
# completion, package documents) and the Debian packages built from the
# install components: `cpack -G DEB` in the build folder gives
#   libvexsrvapi1      the shared library (runtime component)
#   libvexsrvapi-dev   headers, pkg-config file, CMake package (dev)
#   tidewell-taskd     the service, its systemd unit and the vexsrv tool (service)
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for packages (the library folder
# then defaults to Debian's multiarch folder).

set(VEXSRV_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Folder of the systemd unit, relative to the prefix")
set(VEXSRV_DEB_RELEASE 1)
set(VEXSRV_DEB_VERSION ${PROJECT_VERSION}-${VEXSRV_DEB_RELEASE})
set(CPACK_PACKAGE_CONTACT "vexsrvapi developers <vexsrvapi@example.org>")

set(_deploy ${PROJECT_SOURCE_DIR}/service/deploy)
set(_gen ${VEXSRV_GENERATED_DIR}/deploy)
configure_file(${_deploy}/tidewell-taskd@.service.in ${_gen}/tidewell-taskd@.service @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${_gen}/changelog.Debian @ONLY)

# Debian wants manual pages and changelogs compressed, without a time stamp
# in the gzip header so that rebuilds are identical.
set(_man_pages ${_deploy}/tidewell-taskd.8)
# The tool's manual page and completion come with the tool's own sources.
set(_tool_man ${PROJECT_SOURCE_DIR}/tools/vexsrv/vexsrv.1)
set(_tool_completion ${PROJECT_SOURCE_DIR}/tools/vexsrv/vexsrv.bash-completion)
if(EXISTS ${_tool_man})
  list(APPEND _man_pages ${_tool_man})
endif()
set(_compressed "")
foreach(_source IN LISTS _man_pages ITEMS ${_gen}/changelog.Debian)
  get_filename_component(_name ${_source} NAME)
  add_custom_command(OUTPUT ${_gen}/${_name}.gz
    COMMAND gzip -9n -c ${_source} > ${_gen}/${_name}.gz
    DEPENDS ${_source} VERBATIM)
  list(APPEND _compressed ${_gen}/${_name}.gz)
endforeach()
add_custom_target(vexsrv_deploy_files ALL DEPENDS ${_compressed})

if(TARGET tidewell-taskd)
  install(FILES ${_gen}/tidewell-taskd@.service DESTINATION ${VEXSRV_SYSTEMD_UNIT_DIR} COMPONENT service)
  install(FILES ${_gen}/tidewell-taskd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT service)
  install(FILES ${_deploy}/instance.conf DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tidewell-taskd/examples
    COMPONENT service)
endif()
if(TARGET vexsrv)
  if(EXISTS ${_tool_man})
    install(FILES ${_gen}/vexsrv.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT service)
  endif()
  if(EXISTS ${_tool_completion})
    install(FILES ${_tool_completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
      RENAME vexsrv COMPONENT service)
  endif()
endif()

# Each package carries the copyright file and the changelog in its own folder.
set(_packages runtime libvexsrvapi1 dev libvexsrvapi-dev service tidewell-taskd)
while(_packages)
  list(POP_FRONT _packages _component _package)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${_gen}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package} COMPONENT ${_component})
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexsrvapi)
set(CPACK_PACKAGE_VENDOR "The vexsrvapi developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description names its own synopsis (below); a common one
# would be put in front of each.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_COMPONENTS_ALL runtime dev service)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VEXSRV_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/vexsrvapi")
# Dependencies on system libraries from the binaries themselves; the
# library of this build is found in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvexsrvapi1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader's cache is refreshed through dpkg's trigger rather than by
# maintainer scripts.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library of the Tidewell task service
The library through which applications control the task service of the
Tidewell database server, on the local node or over the network: start and
stop the database, register and run tasks, read lists and status, take the
exclusive lock and discover services by broadcast.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvexsrvapi-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libvexsrvapi1 (= ${VEXSRV_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "client library of the Tidewell task service (development files)
The library through which applications control the task service of the
Tidewell database server.
.
This package holds the C header, the header-only C++ layer, the pkg-config
file and the CMake package (find_package(vexsrvapi)).")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME tidewell-taskd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "libvexsrvapi1 (= ${VEXSRV_DEB_VERSION})")
set(CPACK_DEBIAN_SERVICE_DESCRIPTION "reference task service of Tidewell and the vexsrv tool
tidewell-taskd serves the Tidewell task service's pipe on this node: it runs
the database program and the registered tasks and answers browse requests.
It comes with a systemd template unit, tidewell-taskd@SUFFIX.service, one
instance per service suffix.
.
vexsrv is the command-line tool for every operation of the library, against
this node or others.")

include(CPack)
