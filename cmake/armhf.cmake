# Cross build for 32-bit ARM boards (hard float): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake ...
set(UPDATER_DEB_ARCH armhf)
set(UPDATER_QEMU_CPU arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
