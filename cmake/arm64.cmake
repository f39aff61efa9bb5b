# Cross build for 64-bit ARM boards: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake ...
set(UPDATER_DEB_ARCH arm64)
set(UPDATER_QEMU_CPU aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
