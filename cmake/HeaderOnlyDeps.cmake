# CLI11 and nlohmann-json for programs of this project (the reference service,
# the command-line tool). Both are header-only and installed for the build
# machine. The Linux build finds their CMake packages. The cross compiler must
# never see /usr/include (it would pull in Linux headers), so the Windows build
# gets a folder of its own in the build tree that holds only links to the two
# header folders.

set(VEXSRV_HOST_INCLUDE_DIR /usr/include CACHE PATH "Where the build machine's CLI11 and nlohmann-json headers live")

function(vexsrv_use_header_only_deps target)
  if(WIN32 OR CMAKE_CROSSCOMPILING)
    set(dir ${CMAKE_BINARY_DIR}/header-only-deps)
    foreach(sub CLI nlohmann)
      if(NOT EXISTS ${VEXSRV_HOST_INCLUDE_DIR}/${sub})
        message(FATAL_ERROR "${VEXSRV_HOST_INCLUDE_DIR}/${sub} is missing: install libcli11-dev and nlohmann-json3-dev")
      endif()
      if(NOT EXISTS ${dir}/${sub})
        file(MAKE_DIRECTORY ${dir})
        file(CREATE_LINK ${VEXSRV_HOST_INCLUDE_DIR}/${sub} ${dir}/${sub} COPY_ON_ERROR SYMBOLIC)
      endif()
    endforeach()
    target_include_directories(${target} SYSTEM PRIVATE ${dir})
  else()
    find_package(CLI11 CONFIG REQUIRED)
    find_package(nlohmann_json CONFIG REQUIRED)
    target_link_libraries(${target} PRIVATE CLI11::CLI11 nlohmann_json::nlohmann_json)
  endif()
endfunction()
