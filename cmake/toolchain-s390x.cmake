# IBM Z, big-endian (Debian: g++-s390x-linux-gnu, qemu-user-static).
# cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-s390x.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(FILLVARS_CROSS_TRIPLE s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
