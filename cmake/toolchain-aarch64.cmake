# 64-bit ARM, little-endian (Debian: g++-aarch64-linux-gnu, qemu-user-static).
# cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(FILLVARS_CROSS_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
