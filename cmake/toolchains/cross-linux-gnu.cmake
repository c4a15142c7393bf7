# Shared part of the Debian cross toolchains: the including file sets VURN_CROSS_TRIPLE (the GNU
# triple, e.g. aarch64-linux-gnu), VURN_CROSS_PROCESSOR and VURN_CROSS_QEMU (the qemu-user command
# and its options). The target's programs run under qemu-user, which finds the target's C and C++
# libraries under /usr/<triple>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VURN_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${VURN_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VURN_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VURN_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${VURN_CROSS_QEMU} -L /usr/${VURN_CROSS_TRIPLE})
