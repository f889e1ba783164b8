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
  "host/text:"
  "host/db:host/calendar.h host/text failure platform/ado platform/automation"
  # The driver's row sets: the engine-free core and the one in memory (the engines' are host/db's).
  "platform/ado:platform/automation"
  "host/report:host/text host/calendar.h"
  "host/site:host/ports.h host/calendar.h host/text terminal/control host/db/pg_location.h"
  "host:driver/identifiers.h terminal/contract terminal/control platform/automation platform/ado platform/corvel"
  # Accounts (passwords, throttling, tokens' rules) over the database module's repositories.
  "accounts:host/db host/text platform/ado"
  "web:accounts host"
  "cli:host accounts web driver/identifiers.h terminal/control/settings.h terminal/sim platform/automation"
)
set(project_roots driver link hostdata failure codec terminal component cli host platform accounts web)
# The database module's own headers: how it connects, what each engine does, and every opener of
# a connection by location (outside the module a process opens its database once, as a Database).
set(engine_headers
  host/db/sqlite_connection.h host/db/sqlite_readonly.h host/db/sqlite_store.h host/db/sqlite_rowset.h
  host/db/pg_connection.h host/db/pg_pool.h host/db/pg_engines.h host/db/postgres_store.h host/db/postgres_rowset.h
  host/db/accounts_engines.h host/db/audit_writer.h host/db/openers.h host/db/deferred_store.h)
# Sources outside host/db that still open the enrolment row sets themselves, until they take them
# from the Database handle (Database::EnrolmentRows).
set(engine_header_users host/enrolment.cpp)

# The message catalogue (Tr and its kin) belongs to the front ends: the host reports codes with
# values and events, and only the catalogue itself, the command line and the console put them
# into words. The files listed after it still word some results in the host library; the list
# only shrinks (a file listed that no longer includes the catalogue fails the check too, so the
# list says what is left).
# (The renderers that include it count as the catalogue: through them a file gets Tr too.)
set(catalogue "^(host/text/|host/sync_words[.]h$|host/recorded_words[.]h$)")
set(catalogue_users host/text cli web)
set(catalogue_not_yet_moved
  # Renderers of host codes into words, shared by both front ends (one place for each code).
  host/sync_words.h host/sync_words.cpp host/recorded_words.h host/recorded_words.cpp
  # Errors thrown as sentences (HostError, InputError).
  host/attendance_data.cpp host/components.cpp host/control_settings.cpp host/db_copy.cpp host/enrolment.cpp
  host/terminal_control.cpp host/terminal_sync.cpp host/site/site.cpp
  # The database module's store errors (owned by the database module's rework).
  host/db/postgres_store.cpp host/db/record_store.cpp host/db/schema.cpp host/db/sqlite_store.cpp
  host/db/swipe_feed.cpp host/db/table_rows.cpp host/db/pg_pool.cpp
  # Results in words: a port's state, clock summaries, a schedule warning, run record failures.
  host/control_status.cpp host/clock.cpp host/sync_run_record.cpp
  # The reports, written in the process's language.
  host/report/dates.cpp host/report/formats.cpp host/report/formats.h host/report/html.cpp host/report/people.cpp)

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
      if(target IN_LIST engine_headers AND NOT shown MATCHES "^host/db/" AND NOT shown IN_LIST engine_header_users)
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
        if(shown IN_LIST catalogue_not_yet_moved)
          list(APPEND catalogue_includers "${shown}")
        elseif(NOT user)
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

foreach(listed IN LISTS catalogue_not_yet_moved)
  if(NOT listed IN_LIST catalogue_includers)
    list(APPEND violations "${listed}: listed as still using the catalogue, and does not: take it off the list")
  endif()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes that point up or sideways:\n  ${text}")
endif()
message(STATUS "include rules hold")
