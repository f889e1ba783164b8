# The Windows build: VANTO.dll, FK303ID.ocx and Corvel.dll (and the host objects' module
# VantoHost.dll), each with its type library (IDL compiled by widl) and version resource, the
# C++ test client, from the same sources as the Linux modules. The automation runtime is the
# system's (ole32, oleaut32): platform/automation contributes only what the system lacks.
# Source lists mirror the folders' own CMakeLists.txt, which describe the Linux build.

add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-unused-function -Wno-attributes)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

find_program(VANTO_WIDL NAMES widl-stable widl REQUIRED)
# stdole2.tlb, which every library imports (from Wine's own files).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VANTO_WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
else()
  set(VANTO_WINE_TLB_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)
endif()
if(NOT EXISTS ${VANTO_WINE_TLB_DIR}/stdole2.tlb)
  set(VANTO_WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
endif()

set(A ${CMAKE_SOURCE_DIR}/platform/automation)
add_library(vanto_automation STATIC
  ${A}/boundary.cpp ${A}/collection.cpp ${A}/errorinfo.cpp ${A}/errors.cpp ${A}/object.cpp ${A}/text.cpp
  ${A}/conversions.cpp ${A}/runtime.cpp
  ${A}/win/system_win.cpp ${A}/win/runtime_win.cpp ${A}/win/registry_win.cpp ${A}/win/message_queue_win.cpp
  ${A}/win/module_path_win.cpp ${A}/win/thread_slot_win.cpp)
target_link_libraries(vanto_automation PUBLIC ole32 oleaut32 uuid user32 advapi32)

add_library(vanto_failure STATIC failure/failure.cpp)
target_link_libraries(vanto_failure PUBLIC vanto_automation)
add_library(vanto_codec STATIC codec/template_codec.cpp)
target_link_libraries(vanto_codec PUBLIC vanto_automation)
add_library(vanto_link STATIC link/form1.cpp link/terminal_link.cpp)
target_link_libraries(vanto_link PUBLIC vanto_failure vanto_codec vanto_automation)
add_library(vanto_hostdata STATIC hostdata/host_objects.cpp hostdata/rowset_view.cpp)
target_link_libraries(vanto_hostdata PUBLIC vanto_failure vanto_automation)
add_library(vanto_driver STATIC
  driver/clsMachine.cpp driver/dispatch.cpp driver/frame.cpp driver/funcRegister.cpp driver/funcBackFingure.cpp
  driver/funcReWrite.cpp driver/DownloadCarddata.cpp driver/funcWriteCard.cpp driver/delCardData.cpp)
target_link_libraries(vanto_driver PUBLIC vanto_link vanto_hostdata vanto_failure vanto_codec vanto_automation)
add_library(vanto_corvel STATIC platform/corvel/corvel.cpp)
target_link_libraries(vanto_corvel PUBLIC vanto_automation)
add_library(vanto_ado STATIC platform/ado/byte_array.cpp platform/ado/enrolment.cpp platform/ado/memory_rowset.cpp
  platform/ado/rowset_core.cpp)
target_link_libraries(vanto_ado PUBLIC vanto_automation)

add_library(terminal_protocol STATIC terminal/protocol/crc.cpp terminal/protocol/frame.cpp
  terminal/protocol/frame_parser.cpp terminal/protocol/messages.cpp terminal/protocol/records.cpp
  terminal/protocol/dense.cpp)
add_library(terminal_line STATIC terminal/line/line.cpp terminal/serial/serial_port_win.cpp
  terminal/tcp/tcp_address.cpp terminal/tcp/tcp_line_win.cpp)
target_link_libraries(terminal_line PUBLIC ws2_32)
add_library(terminal_control STATIC terminal/control/settings.cpp terminal/control/settings_registry_win.cpp
  terminal/control/fk303id.cpp terminal/control/line_factory.cpp terminal/control/port_lock_win.cpp
  terminal/control/port_status.cpp terminal/control/terminal_client.cpp)
target_link_libraries(terminal_control PUBLIC vanto_automation terminal_protocol terminal_line advapi32)

add_library(vanto_module_support STATIC component/module_support.cpp)
target_link_libraries(vanto_module_support PUBLIC vanto_automation)

# A module: its four entry points exported through windows/<name>.def, its type library
# (windows/<name>.idl, compiled by widl) and its version texts in windows/<name>.rc.
function(vanto_windows_module name suffix)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  # The C preprocessor writes the IDL from windows/<name>.idl.in and the shared lists; widl
  # compiles it into the type library the resource script embeds.
  set(idlin ${CMAKE_SOURCE_DIR}/windows/${name}.idl.in)
  set(idl ${CMAKE_CURRENT_BINARY_DIR}/${name}.idl)
  set(tlb ${CMAKE_CURRENT_BINARY_DIR}/${name}.tlb)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(widl_target -m64 --win64)
  else()
    set(widl_target -m32 --win32)
  endif()
  add_custom_command(OUTPUT ${idl}
    COMMAND ${CMAKE_CXX_COMPILER} -E -P -x c++ -I ${CMAKE_SOURCE_DIR} ${VANTO_IDL_DEFINES} -o ${idl} ${idlin}
    DEPENDS ${idlin} ${CMAKE_SOURCE_DIR}/windows/common.idl ${CMAKE_SOURCE_DIR}/windows/imachine.idl.h
            ${CMAKE_SOURCE_DIR}/platform/corvel/imachine_operations.h
            ${CMAKE_SOURCE_DIR}/terminal/contract/fk303id_contract.h
    COMMENT "IDL of ${name}")
  add_custom_command(OUTPUT ${tlb}
    COMMAND ${VANTO_WIDL} ${widl_target} -I /usr/include/wine/windows -L ${VANTO_WINE_TLB_DIR} -t -o ${tlb} ${idl}
    DEPENDS ${idl}
    COMMENT "widl ${name}.idl")
  set(rc ${CMAKE_SOURCE_DIR}/windows/${name}.rc)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${tlb})
  add_library(${name} MODULE ${ARG_SOURCES} ${rc} ${CMAKE_SOURCE_DIR}/windows/${name}.def)
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name} SUFFIX ${suffix})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:RC>:-I${CMAKE_CURRENT_BINARY_DIR}>)
  target_link_libraries(${name} PRIVATE vanto_module_support ${ARG_LIBS})
  target_link_options(${name} PRIVATE -Wl,--kill-at)
endfunction()

enable_language(RC)
vanto_windows_module(VANTO ".dll" SOURCES component/vanto_module.cpp LIBS vanto_driver)
vanto_windows_module(Corvel ".dll" SOURCES component/corvel_module.cpp LIBS vanto_corvel)
vanto_windows_module(FK303ID ".ocx" SOURCES component/fk303id_module.cpp LIBS terminal_control)
vanto_windows_module(VantoHost ".dll" SOURCES component/host_module.cpp LIBS vanto_ado)

# The compiled host (tests/windows/client.cpp), run under Wine by scripts/windows-stage.sh.
add_executable(vanto-client-test tests/windows/client.cpp)
target_link_libraries(vanto-client-test PRIVATE vanto_ado vanto_automation)
add_executable(vanto-conversions-probe tests/windows/conversions_probe.cpp)
target_link_libraries(vanto-conversions-probe PRIVATE vanto_automation)
# What a host binding early finds of the control through its registered type library (Windows
# only: the system's headers and type library functions).
add_executable(vanto-typelib-probe tests/windows/typelib_probe.cpp)
target_include_directories(vanto-typelib-probe PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(vanto-typelib-probe PRIVATE ole32 oleaut32 advapi32 uuid)
