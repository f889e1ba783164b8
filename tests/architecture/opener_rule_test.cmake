# The include rules run on a scratch tree: a front end that includes an opener of the database
# module is refused, and the module itself may include it.
# cmake -DRULES=include_rules.cmake -DWORK_DIR=<scratch folder> -P opener_rule_test.cmake
set(tree "${WORK_DIR}/opener-rule-tree")
file(REMOVE_RECURSE "${tree}")
set(refused
  "cli/opens.cpp|host/db/openers.h"
  "web/opens.cpp|host/db/deferred_store.h"
  "host/check.cpp|host/db/openers.h"
  "accounts/opens.cpp|host/db/openers.h")
foreach(entry IN LISTS refused)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 file)
  list(GET parts 1 header)
  file(WRITE "${tree}/${file}" "#include \"${header}\"\n")
endforeach()
file(WRITE "${tree}/host/db/inside.cpp" "#include \"host/db/openers.h\"\n")
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} -P ${RULES}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(REMOVE_RECURSE "${tree}")
if(status EQUAL 0)
  message(FATAL_ERROR "the include rules passed a tree that opens a database outside the module")
endif()
foreach(entry IN LISTS refused)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 file)
  list(GET parts 1 header)
  string(FIND "${err}" "${file}: includes ${header}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not refused: ${file} including ${header}:\n${err}")
  endif()
endforeach()
string(FIND "${err}" "host/db/inside.cpp" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "the database module was refused its own opener:\n${err}")
endif()
message(STATUS "openers are refused outside the database module")
