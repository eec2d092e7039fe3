# What cinepane-kelos's own objects may call outside themselves: the
# facilities of the target system's runtime library that the player relies
# on, and the compiler's own helpers. Run after every link of cinepane-kelos
# (CMakeLists.txt): a call to anything else, such as a host-only function
# that the host's C library would quietly provide, fails the build.
#
# Inputs: NM (the nm tool), OBJECTS (the list of the player's object files).
cmake_minimum_required(VERSION 3.25)

set(allowed
  # Memory allocation, reallocation that keeps contents, and release.
  realloc free
  # Memory copying and filling (also emitted by the compiler for plain
  # assignments and zero-initialised records).
  memcpy memmove memset
  # The one line of output of a failed start.
  puts
  # The file calls of the stream reader.
  open read lseek close
  # 64-bit division and remainder on a 32-bit CPU, from the compiler's own
  # support library: the frame schedule and the view arithmetic divide
  # 64-bit values.
  __divdi3 __udivdi3 __moddi3 __umoddi3 __udivmoddi4 __divmoddi4)
# usleep and the window server are system calls made by gui_kelos.cpp
# itself; process exit is main's return.

execute_process(COMMAND ${NM} -g -P ${OBJECTS} OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" lines "${listing}")
set(undefined "")
set(defined "")
foreach(line IN LISTS lines)
  # "name type [value size]"; lines naming an object file end with ':'.
  if(line MATCHES "^([^ ]+) U")
    list(APPEND undefined ${CMAKE_MATCH_1})
  elseif(line MATCHES "^([^ ]+) [A-Za-z]")
    list(APPEND defined ${CMAKE_MATCH_1})
  endif()
endforeach()
list(REMOVE_DUPLICATES undefined)
list(REMOVE_ITEM undefined ${defined} ${allowed})
if(undefined)
  string(JOIN " " names ${undefined})
  message(FATAL_ERROR "cinepane-kelos calls what the target's runtime library does not offer: ${names}")
endif()
