# One static binary for every Raspbian board, Pi 1 / Zero (ARMv6, arm1176) to Pi 4.
#
# Debian's armhf libraries are built for ARMv7 with Thumb-2, so anything linked against them dies
# with SIGILL on an ARMv6 CPU whatever -march says. Debian's armel toolchain, linked fully static
# with ARMv6 and VFP code in the soft-float calling convention, runs on all of them; a static
# binary does not care about the board's float ABI.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv6)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv6+fp -mfpu=vfp -mfloat-abi=softfp -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv6+fp -mfpu=vfp -mfloat-abi=softfp -marm")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Unit tests run on the oldest CPU we support.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -cpu arm1176)
