# SPDX-License-Identifier: GPL-2.0-or-later
# Cross build for the kit's board: 32-bit ARM, hard float (Debian's g++-arm-linux-gnueabihf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Test binaries (and GoogleTest's discovery) run here under user-mode emulation.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /usr/arm-linux-gnueabihf)
# The board's libraries (GoogleTest, static libfuse3) come from Debian's armhf packages, each
# unpacked into a folder of its own by scripts/debian_parts.py (`make deps-armhf`, set "sysroot"),
# not from this machine's package system.
if(NOT KIT_ARMHF_SYSROOT)
  if(DEFINED ENV{KIT_PARTS_CACHE})
    set(KIT_ARMHF_SYSROOT "$ENV{KIT_PARTS_CACHE}/armhf-sysroot")
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(KIT_ARMHF_SYSROOT "$ENV{XDG_CACHE_HOME}/railkit-parts/armhf-sysroot")
  else()
    set(KIT_ARMHF_SYSROOT "$ENV{HOME}/.cache/railkit-parts/armhf-sysroot")
  endif()
endif()
set(KIT_ARMHF_SYSROOT "${KIT_ARMHF_SYSROOT}" CACHE PATH "The board's libraries (scripts/debian_parts.py)")
file(GLOB kit_armhf_packages LIST_DIRECTORIES true "${KIT_ARMHF_SYSROOT}/*")
foreach(package IN LISTS kit_armhf_packages)
  if(IS_DIRECTORY "${package}")
    list(APPEND CMAKE_FIND_ROOT_PATH "${package}")
  endif()
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# GCC's notes on the argument passing change of GCC 7.1 concern code built before 2017.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
