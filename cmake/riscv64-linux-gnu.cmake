# riscv64-linux-gnu: cross-builds for riscv64 Linux; the tests run under qemu-riscv64.
set(TINTCELL_TRIPLE riscv64-linux-gnu)
set(TINTCELL_QEMU qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
