# cmake -DROOT=<source root> -P check_includes.cmake
# Fails when a quoted include climbs out of its folder ("../"): the per-folder include
# paths keep each folder to the folders below it, and such a path would slip past them.
file(GLOB_RECURSE sources ${ROOT}/src/*.cpp ${ROOT}/src/*.hpp ${ROOT}/tests/*.cpp ${ROOT}/tests/*.hpp
     ${ROOT}/tools/*.cpp ${ROOT}/tools/*.hpp ${ROOT}/bench/*.cpp ${ROOT}/bench/*.hpp)
set(found "")
foreach(source IN LISTS sources)
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]*\\.\\.[/\\\\]")
  foreach(line IN LISTS lines)
    file(RELATIVE_PATH name ${ROOT} ${source})
    string(APPEND found "  ${name}: ${line}\n")
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "includes that climb out of their folder:\n${found}")
endif()
