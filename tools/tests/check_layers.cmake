# Fails when a file of the tool includes a layer above its own: tlog may
# include only the core and itself, audit also tlog, cli all three. The
# libraries share one include root, so the compiler cannot tell.
#
#   cmake -DTOOLS_DIR=<tools> -P check_layers.cmake
if(NOT TOOLS_DIR)
  message(FATAL_ERROR "TOOLS_DIR is not set")
endif()
set(above_tlog audit cli)
set(above_audit cli)
set(violations "")
foreach(layer tlog audit)
  file(GLOB sources ${TOOLS_DIR}/${layer}/*.h ${TOOLS_DIR}/${layer}/*.cpp)
  foreach(source IN LISTS sources)
    foreach(above IN LISTS above_${layer})
      file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"${above}/")
      foreach(line IN LISTS lines)
        file(RELATIVE_PATH name ${TOOLS_DIR} ${source})
        string(APPEND violations "\n  ${name}: ${line}")
      endforeach()
    endforeach()
  endforeach()
endforeach()
if(violations)
  message(FATAL_ERROR "includes of a higher layer:${violations}")
endif()
