# Shared by the toolchain files for another CPU: Debian's cross compiler for
# FILLVARS_CROSS_TRIPLE, its libraries under /usr/TRIPLE, and qemu-user to run
# what it builds here (tests and GoogleTest's test discovery).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${FILLVARS_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${FILLVARS_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/qemu-${CMAKE_SYSTEM_PROCESSOR}-static -L /usr/${FILLVARS_CROSS_TRIPLE})
