# 64-bit big-endian IBM Z with Debian's cross compiler; the programs run under qemu-user.
set(VURN_CROSS_TRIPLE s390x-linux-gnu)
set(VURN_CROSS_PROCESSOR s390x)
set(VURN_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
