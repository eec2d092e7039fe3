# Builds the target system's 32-bit window binding, src/platform/gui_kelos.cpp,
# into a static library, without running it (this machine cannot). Run by
# ctest as the test `gui_kelos_build32` (label target32); by hand:
#   cmake -DCXX=g++ -DAR=ar -DSOURCE_DIR=src/platform -DOUT_DIR=/tmp/kelos32 \
#         -P src/platform/kelos/build32.cmake
# Needs a compiler that takes -m32 (Debian: g++-multilib). Fails, and so fails
# the test, when the compile, the archive or the link check below fails.
#
# Inputs: CXX, AR (tools), SOURCE_DIR (holds gui.h and gui_kelos.cpp),
# OUT_DIR (made if missing), WERROR (ON: warnings are errors).
cmake_minimum_required(VERSION 3.25)

foreach(var CXX AR SOURCE_DIR OUT_DIR)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "build32.cmake: -D${var}=... is required")
  endif()
endforeach()

# Non-PIC, so the system-call helpers may name ebx freely. A definition whose
# signature drifts from gui.h would be a new overload, not the gui.h call:
# missing-declarations makes that an error.
set(flags -m32 -std=c++20 -fno-pic -O2
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror=missing-declarations)
if(WERROR)
  list(APPEND flags -Werror)
endif()

set(object ${OUT_DIR}/gui_kelos.o)
set(library ${OUT_DIR}/libgui_kelos.a)
file(MAKE_DIRECTORY ${OUT_DIR})
file(REMOVE ${object} ${library})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(JOIN " " command ${ARGN})
    message(FATAL_ERROR "build32.cmake: ${what} failed (${rc}): ${command}")
  endif()
endfunction()

run("compile" ${CXX} ${flags} -I${SOURCE_DIR} -c ${SOURCE_DIR}/gui_kelos.cpp -o ${object})

# The object must be 32-bit x86: ELF class 1 at byte 4, machine 3 (EM_386)
# at bytes 18-19, little-endian.
file(READ ${object} ident LIMIT 20 HEX)
string(SUBSTRING "${ident}" 0 8 magic)
string(SUBSTRING "${ident}" 8 2 class)
string(SUBSTRING "${ident}" 36 4 machine)
if(NOT magic STREQUAL "7f454c46" OR NOT class STREQUAL "01" OR NOT machine STREQUAL "0300")
  message(FATAL_ERROR "build32.cmake: ${object} is not a 32-bit x86 ELF object (${ident})")
endif()

run("archive" ${AR} rcs ${library} ${object})

# Link check: a freestanding 32-bit program that calls every gui.h function
# links against the library alone, so each one is defined there with the
# header's signature. The program is only linked, never run.
# Record arguments are null: nothing here runs, and no record means no
# compiler-made memset call to resolve.
file(WRITE ${OUT_DIR}/link_probe.cpp [=[
#include "gui.h"
extern "C" int probe_entry() {
    const int w = gui_create("", "");
    return gui_begin(w) + gui_fill_rect(w, nullptr) + gui_draw_text(w, nullptr) +
           gui_blit_rgb565(w, nullptr) + gui_present(w) + gui_poll_event(w, nullptr) +
           gui_get_content_size(w, nullptr) + gui_set_continuous_redraw(w, 1) +
           gui_wait_event(w, 1) + gui_get_screen_size(w, nullptr) +
           gui_request_content_size(w, nullptr) + gui_set_fullscreen(w, 1) +
           static_cast<int>(time_ms()) + sleep_us(1);
}
]=])
run("link check" ${CXX} -m32 -std=c++20 -fno-pic -static -nostdlib -ffreestanding
  -Wl,-e,probe_entry -I${SOURCE_DIR} ${OUT_DIR}/link_probe.cpp ${library} -o ${OUT_DIR}/link_probe)

message(STATUS "built ${library}")
