# s390x-linux-gnu: cross-builds for s390x Linux; the tests run under qemu-s390x.
set(TINTCELL_TRIPLE s390x-linux-gnu)
set(TINTCELL_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
