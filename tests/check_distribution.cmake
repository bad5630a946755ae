# Builds the Windows distribution archive, unpacks it and checks its files
# and the export table of its DLL.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target dist RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the distribution failed")
endif()
get_filename_component(name ${ARCHIVE} NAME_WLE)
set(out ${BUILD}/dist-check)
file(REMOVE_RECURSE ${out})
file(MAKE_DIRECTORY ${out})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${ARCHIVE} WORKING_DIRECTORY ${out} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${ARCHIVE}")
endif()
set(root ${out}/${name})
foreach(f bin/vexsrvapi.dll lib/libvexsrvapi.dll.a lib/vexsrvapi.def include/vexsrvapi.h
          include/vexsrv/version.h ${PROGRAMS} README.txt
          lib/cmake/vexsrvapi/vexsrvapiConfig.cmake lib/cmake/vexsrvapi/vexsrvapiConfigVersion.cmake)
  if(NOT EXISTS ${root}/${f})
    message(FATAL_ERROR "the distribution lacks ${f}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -DMODULE=${root}/bin/vexsrvapi.dll -DEXPECTED=${EXPECTED}
                -DTOOL=i686-w64-mingw32-objdump -DKIND=dll -P ${CHECK} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the distributed DLL's export table differs")
endif()
message(STATUS "distribution ${name} is complete")
