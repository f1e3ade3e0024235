# i686-linux-gnu: cross-builds for i686 Linux; the tests run under qemu-i386.
set(TINTCELL_TRIPLE i686-linux-gnu)
set(TINTCELL_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
