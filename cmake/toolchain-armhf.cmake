# Cross build for the kit's board: 32-bit ARM, hard float (Debian's g++-arm-linux-gnueabihf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Test binaries (and GoogleTest's discovery) run here under user-mode emulation.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /usr/arm-linux-gnueabihf)
# Libraries and headers of the target come from the armhf multiarch packages.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
