# Cross build for 32-bit Raspberry Pi OS (Debian armhf) with Debian's cross toolchain:
#   apt-get install crossbuild-essential-armhf        (and qemu-user to run the result)
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=packaging/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ORVIX_DEB_ARCH armhf CACHE STRING "Debian architecture of the package")

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Libraries and headers of the target only; programs (avr-gcc, gzip) of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Debian's user-mode emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
