# Cross build for the controller: ARM9-class core (ARMv5TE), little endian,
# soft-float EABI, with Debian's arm-linux-gnueabi cross compiler.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
#   cmake --build build-arm
#
# gives build-arm/tarvo_update and build-arm/index.cgi.  Every executable is
# linked statically, so the programs run whatever C library the controller has
# and the test suite runs under qemu-arm-static without a target root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TARVO_CROSS_TRIPLE arm-linux-gnueabi)
set(CMAKE_C_COMPILER ${TARVO_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TARVO_CROSS_TRIPLE}-g++)

# The emulator that runs target programs on the build machine (test discovery,
# ctest, and the process tests that start the build's programs).  It is found
# on the host, before the search is confined to the target root below; the
# process tests exec it directly, so it must be an absolute path.  Without it,
# configure with -DTARVO_BUILD_TESTS=OFF: test discovery runs the test programs.
find_program(TARVO_QEMU_ARM NAMES qemu-arm-static qemu-arm
  PATHS /usr/bin /usr/local/bin NO_CMAKE_FIND_ROOT_PATH)
if(TARVO_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVO_QEMU_ARM})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TARVO_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Code for the controller's core.  Unused functions and data are dropped at
# link time, which matters for statically linked programs.
set(TARVO_CROSS_FLAGS "-march=armv5te -mfloat-abi=soft -marm -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${TARVO_CROSS_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TARVO_CROSS_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--gc-sections")
