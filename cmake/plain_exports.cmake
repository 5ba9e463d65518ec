# Export lists of the project's libraries, made once for both builds.
#
# Entries are written NAME:BYTES, BYTES being the stack bytes of the stdcall
# function (its decoration NAME@BYTES). The win32 build exports each under
# its plain name through a .def alias; the native build exports the same
# names through a linker version script and hides everything else.

# The adapter API's forwarded operations as NAME:BYTES, read from
# mux/zmx_entries.h (the one list of them), into `out_entries`; the names of
# those not offered on SerialN links into `out_not_on_serialn`.
function(zmx_forwarded_entries out_entries out_not_on_serialn)
  file(READ ${CMAKE_SOURCE_DIR}/mux/zmx_entries.h text)
  string(REGEX MATCHALL "X\\([A-Za-z0-9_]+, [A-Z0-9]+, [01]\\)" operations "${text}")
  set(bytes_W0 4)
  set(bytes_W1 8)
  set(bytes_WB 12)
  set(bytes_B1 8)
  set(bytes_BW 12)
  set(bytes_WSS 16)
  set(entries)
  set(not_on_serialn)
  foreach(item ${operations})
    string(REGEX REPLACE "X\\(([A-Za-z0-9_]+), ([A-Z0-9]+), ([01])\\)" "\\1;\\2;\\3" parts "${item}")
    list(GET parts 0 name)
    list(GET parts 1 shape)
    list(GET parts 2 serialN)
    list(APPEND entries ${name}:${bytes_${shape}})
    if(serialN EQUAL 0)
      list(APPEND not_on_serialn ${name})
    endif()
  endforeach()
  list(LENGTH entries count)
  if(NOT count EQUAL 34)
    message(FATAL_ERROR "mux/zmx_entries.h: expected 34 forwarded operations, found ${count}")
  endif()
  set(${out_entries} ${entries} PARENT_SCOPE)
  set(${out_not_on_serialn} ${not_on_serialn} PARENT_SCOPE)
endfunction()

# The entries that name a transport library, as NAME:4, read from
# mux/zmx_entries.h (the one list of them), into `out_entries`.
function(zmx_name_entries out_entries)
  file(READ ${CMAKE_SOURCE_DIR}/mux/zmx_entries.h text)
  string(REGEX MATCHALL "X\\((Set[A-Za-z0-9_]+DLL)," names "${text}")
  set(entries)
  foreach(item ${names})
    string(REGEX REPLACE "X\\((Set[A-Za-z0-9_]+DLL)," "\\1" name "${item}")
    list(APPEND entries ${name}:4)
  endforeach()
  list(LENGTH entries count)
  if(NOT count EQUAL 8)
    message(FATAL_ERROR "mux/zmx_entries.h: expected 8 entries that name a transport library, found ${count}")
  endif()
  set(${out_entries} ${entries} PARENT_SCOPE)
endfunction()

# The open and restore entries of a transport library.
set(ZMX_LINK_ENTRIES InitCommLink:8 InitPCCard:8 InitTCP_IP:8 InitTCP_IPListen:8 InitUSBLink:8
    RestoreCommLink:4 RestorePCCard:4 RestoreTCP_IP:4 RestoreUSBLink:4)

# plain_exports(TARGET FILE_NAME ENTRY...): makes TARGET (a shared library
# whose file is FILE_NAME) export exactly the entries' plain names.
function(plain_exports target file_name)
  set(def "LIBRARY ${file_name}\nEXPORTS\n")
  set(script "{\n  global:\n")
  foreach(entry ${ARGN})
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 name)
    list(GET parts 1 bytes)
    string(APPEND def "  ${name} = ${name}@${bytes}\n")
    string(APPEND script "    ${name};\n")
  endforeach()
  string(APPEND script "  local: *;\n};\n")
  if(WIN32)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}.def "${def}")
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  else()
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}.map "${script}")
    target_link_options(${target} PRIVATE -Wl,--version-script=${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  endif()
endfunction()

# export_names(OUT ENTRY...): the plain names of NAME:BYTES entries.
function(export_names out)
  set(names)
  foreach(entry ${ARGN})
    string(REGEX REPLACE ":.*" "" name ${entry})
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# deliverable_dll(TARGET FILE_BASE SOURCE RESOURCE LINK EXPORTS...): a
# deliverable DLL FILE_BASE.DLL beside the test programs (where they and the
# install image find it) from SOURCE linked with LINK, exporting exactly the
# entries' plain names, with RESOURCE (its version information) in the
# win32 build.
function(deliverable_dll target file_base source resource link)
  add_library(${target} SHARED ${source})
  target_link_libraries(${target} PRIVATE ${link})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".DLL" OUTPUT_NAME ${file_base}
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  plain_exports(${target} ${file_base}.DLL ${ARGN})
  if(WIN32)
    target_sources(${target} PRIVATE ${resource})
  endif()
endfunction()
