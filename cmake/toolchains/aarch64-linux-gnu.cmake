# 64-bit ARM with Debian's cross compiler; the programs run under qemu-user on a processor model
# that has every optional instruction, the AES ones among them.
set(VURN_CROSS_TRIPLE aarch64-linux-gnu)
set(VURN_CROSS_PROCESSOR aarch64)
set(VURN_CROSS_QEMU qemu-aarch64 -cpu max)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
