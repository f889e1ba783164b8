cmake_minimum_required(VERSION 3.25)

# Each folder and the project folders its sources may include (besides itself). Standard and
# system headers are not checked, except sqlite3.h, which only the store layers may use.
set(rules
  "terminal/contract:platform/automation"
  "failure:platform/automation"
  "codec:platform/automation terminal/contract"
  "link:failure codec terminal/contract platform/automation"
  "hostdata:failure platform/automation platform/ado platform/corvel"
  "driver:link hostdata failure codec terminal/contract platform/automation platform/ado platform/corvel"
  "terminal/protocol:terminal/contract"
  # The host library, above the driver, the control and the platform; front ends above it.
  "host/text:"
  "host/db:host/calendar.h host/text failure platform/ado platform/automation"
  "host/report:host/text host/calendar.h"
  "host/site:host/ports.h host/calendar.h host/text terminal/control platform/ado/pg_location.h"
  "host:driver/identifiers.h terminal/contract terminal/control platform/automation platform/ado platform/corvel"
  # Accounts (users, sessions, audit): a store of its own beside the host's, with its SQLite engine.
  "accounts:host/db host/text platform/ado"
  "web:accounts host"
  "cli:host accounts web driver/identifiers.h terminal/control/settings.h terminal/sim platform/automation"
)
set(project_roots driver link hostdata failure codec terminal component cli host platform accounts web)

set(violations "")
foreach(rule IN LISTS rules)
  string(REPLACE ":" ";" parts "${rule}")
  list(GET parts 0 folder)
  list(LENGTH parts part_count)
  set(allowed "")
  if(part_count GREATER 1)
    list(GET parts 1 allowed)
  endif()
  string(REPLACE " " ";" allowed "${allowed}")
  list(APPEND allowed ${folder})
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  if(NOT sources)
    list(APPEND violations "${folder}: no sources found (rule out of date?)")
  endif()
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    file(RELATIVE_PATH shown "${SOURCE_DIR}" "${source}")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^\">]*)[\">].*$" "\\1" target "${line}")
      if(target STREQUAL "sqlite3.h")
        if(NOT shown MATCHES "^(host/db|accounts)/")
          list(APPEND violations "${shown}: includes ${target}")
        endif()
        continue()
      endif()
      string(REGEX MATCH "^[^/]+" root "${target}")
      if(NOT root IN_LIST project_roots OR NOT target MATCHES "/")
        continue()
      endif()
      set(permitted FALSE)
      foreach(prefix IN LISTS allowed)
        string(LENGTH "${prefix}/" length)
        string(SUBSTRING "${target}" 0 ${length} head)
        if(head STREQUAL "${prefix}/" OR target STREQUAL prefix)
          set(permitted TRUE)
        endif()
      endforeach()
      if(NOT permitted)
        list(APPEND violations "${shown}: includes ${target}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes that point up or sideways:\n  ${text}")
endif()
message(STATUS "include rules hold")
