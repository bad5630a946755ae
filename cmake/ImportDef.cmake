# Turns the DLL's .def ("Export = Symbol@N") into the import library's
# ("Symbol@N == Export"), so that callers' decorated references resolve to the
# exact export names.
file(STRINGS ${IN} lines)
set(out "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*([A-Za-z_][A-Za-z0-9_@]*)[ \t]*=[ \t]*([A-Za-z_][A-Za-z0-9_]*@[0-9]+)[ \t]*$")
    string(APPEND out "${CMAKE_MATCH_2} == ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^(LIBRARY|EXPORTS)")
    string(APPEND out "${line}\n")
  endif()
endforeach()
file(WRITE ${OUT} "${out}")
