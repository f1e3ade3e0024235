# aarch64-linux-gnu: cross-builds for aarch64 Linux; the tests run under qemu-aarch64.
set(TINTCELL_TRIPLE aarch64-linux-gnu)
set(TINTCELL_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
