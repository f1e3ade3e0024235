# cross-linux: builds tintcell for another Linux machine with Debian's cross compiler, static, run under qemu-user.
#
# Included by the files beside it, which set TINTCELL_TRIPLE (the compiler's
# prefix) and TINTCELL_QEMU (the emulator that runs the target's programs).
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${TINTCELL_TRIPLE}")
set(CMAKE_C_COMPILER ${TINTCELL_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TINTCELL_TRIPLE}-g++)
# Static, so that qemu needs none of the target's libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TINTCELL_QEMU})
set(CMAKE_FIND_ROOT_PATH /usr/${TINTCELL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
