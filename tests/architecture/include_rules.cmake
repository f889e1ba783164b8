cmake_minimum_required(VERSION 3.25)

# Each folder and the project folders its sources may include (besides itself). Standard and
# system headers are not checked, except the engines' client libraries (sqlite3.h, libpq-fe.h),
# which only the database module (host/db) may use. Nothing outside the database module opens a
# database: its engine headers (connections, the pool, the engines' repositories and row sets)
# are its own.
set(rules
  "terminal/contract:platform/automation"
  "failure:platform/automation"
  "codec:platform/automation terminal/contract"
  "link:failure codec terminal/contract platform/automation"
  "hostdata:failure platform/automation platform/ado platform/corvel"
  "driver:link hostdata failure codec terminal/contract platform/automation platform/ado platform/corvel"
  "terminal/protocol:terminal/contract"
  # The host library, above the driver, the control and the platform; front ends above it.
  # A message unworded (host/message.h): what the host says, translated by the front ends.
  "host/text:host/message.h"
  # The database keeps the attendance rows as the rules' plain values (host/attendance/model.h).
  "host/db:host/calendar.h host/message.h host/text host/attendance/model.h failure platform/ado platform/automation"
  # The driver's row sets: the engine-free core and the one in memory (the engines' are host/db's).
  "platform/ado:platform/automation"
  "host/report:host/calendar.h host/message.h"
  # The attendance rules: pure, over the calendar and the site's time zone.
  "host/attendance:host/calendar.h host/message.h host/report host/site/zone.h"
  "host/site:host/ports.h host/calendar.h host/message.h host/text terminal/control host/db/pg_location.h"
  "host:driver/identifiers.h terminal/contract terminal/control platform/automation platform/ado platform/corvel"
  # Accounts (passwords, throttling, tokens' rules) over the database module's repositories.
  "accounts:host/db host/text platform/ado"
  # The presentation both front ends share: host codes with values put into words.
  "present:host"
  "web:accounts present host"
  "cli:present host accounts web driver/identifiers.h terminal/control/settings.h terminal/sim platform/automation"
)
set(project_roots driver link hostdata failure codec terminal component cli host platform accounts present web)
# The database module's own headers: how it connects, what each engine does, and every opener of
# a connection by location (outside the module a process opens its database once, as a Database).
set(engine_headers
  host/db/sqlite_connection.h host/db/sqlite_readonly.h host/db/sqlite_store.h host/db/sqlite_rowset.h
  host/db/pg_connection.h host/db/pg_pool.h host/db/pg_engines.h host/db/postgres_store.h host/db/postgres_rowset.h
  host/db/accounts_engines.h host/db/audit_writer.h host/db/openers.h host/db/deferred_store.h host/db/statements.h)

# The message catalogue (Tr and its kin) belongs to the front ends: the host reports codes with
# values and events, and only the catalogue itself, the presentation both front ends share
# (present/), the command line and the console put them into words.
# (The presentation's headers count as the catalogue: through them a file gets Tr too.)
set(catalogue "^(host/text/|present/)")
set(catalogue_users host/text present cli web)

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
      if(target STREQUAL "sqlite3.h" OR target STREQUAL "libpq-fe.h")
        if(NOT shown MATCHES "^host/db/")
          list(APPEND violations "${shown}: includes ${target} (only the database module may)")
        endif()
        continue()
      endif()
      if(target IN_LIST engine_headers AND NOT shown MATCHES "^host/db/")
        list(APPEND violations "${shown}: includes ${target} (the database module's own: use host/db/database.h)")
        continue()
      endif()
      if(target MATCHES "${catalogue}")
        set(user FALSE)
        foreach(folder_of_user IN LISTS catalogue_users)
          if(shown MATCHES "^${folder_of_user}/")
            set(user TRUE)
          endif()
        endforeach()
        if(NOT user)
          list(APPEND violations "${shown}: includes ${target}: only the front ends put results into words")
        endif()
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
