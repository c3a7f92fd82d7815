# SPDX-License-Identifier: GPL-2.0-or-later
# Flags every target of the kit shares.
add_library(kit_flags INTERFACE)
target_compile_options(kit_flags INTERFACE -Wall -Wextra $<$<BOOL:${KIT_WERROR}>:-Werror>)
# The programs use neither exceptions nor RTTI; leaving them out keeps the ARM binaries small.
add_library(kit_program_flags INTERFACE)
target_link_libraries(kit_program_flags INTERFACE kit_flags)
target_compile_options(kit_program_flags INTERFACE -fno-exceptions -fno-rtti)
# Executables that go onto the target (programs, target test helpers). The test VM's initramfs
# carries no libraries for them, so the armhf preset links them statically.
add_library(kit_exe_flags INTERFACE)
if(KIT_STATIC)
  target_link_options(kit_exe_flags INTERFACE -static)
endif()

# kit_program(<name> [SOURCES <files>...] [LIBS <libs>...] [EXE_LIBS <libs>...])
#
# Builds <name> from <name>/main.cpp. The other SOURCES go into a static library <name>-core
# that the unit tests link as well, so they test the very code the program runs. EXE_LIBS are
# linked only into the program (tests may link a stand-in instead, e.g. a simulated GPIO bus).
function(kit_program name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS;EXE_LIBS" ${ARGN})
  add_executable(${name} main.cpp)
  target_link_libraries(${name} PRIVATE kit_program_flags kit_exe_flags)
  if(P_SOURCES)
    add_library(${name}-core STATIC ${P_SOURCES})
    target_include_directories(${name}-core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name}-core PUBLIC kit_program_flags ${P_LIBS})
    target_link_libraries(${name} PRIVATE ${name}-core)
  else()
    target_link_libraries(${name} PRIVATE ${P_LIBS})
  endif()
  target_link_libraries(${name} PRIVATE ${P_EXE_LIBS})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
