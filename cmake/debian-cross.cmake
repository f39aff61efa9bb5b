# Cross build with Debian's cross toolchain (crossbuild-essential-<arch>) and the target's
# multiarch -dev packages (libusb-1.0-0-dev:<arch>, ...; scripts/setup-cross installs them).
# Included by the per-architecture files (arm64.cmake, armhf.cmake), which set UPDATER_DEB_ARCH
# and CMAKE_SYSTEM_PROCESSOR first.
execute_process(COMMAND dpkg-architecture -a ${UPDATER_DEB_ARCH} -qDEB_HOST_MULTIARCH
                OUTPUT_VARIABLE UPDATER_TRIPLET OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT UPDATER_TRIPLET)
  message(FATAL_ERROR "dpkg-architecture does not know ${UPDATER_DEB_ARCH}")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${UPDATER_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${UPDATER_TRIPLET}-g++)
set(CMAKE_STRIP ${UPDATER_TRIPLET}-strip CACHE FILEPATH "")
# The target's libraries and pkg-config modules live in the multiarch directories.
set(CMAKE_LIBRARY_ARCHITECTURE ${UPDATER_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${UPDATER_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(CMAKE_FIND_ROOT_PATH /usr/${UPDATER_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test programs run under qemu-user on the target's multiarch runtime (libc6:<arch>,
# libstdc++6:<arch>). Not with "-L /usr/<triplet>": there the cross toolchain's libc and the
# multiarch libraries mix, and a program hangs as soon as it starts a thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${UPDATER_QEMU_CPU})
# Toolchain files are read more than once; keep the architecture for the package.
set(UPDATER_DEB_ARCH ${UPDATER_DEB_ARCH} CACHE STRING "Debian architecture of the packages")
# Libraries go to the target's multiarch directory, as Debian's own do.
set(CMAKE_INSTALL_LIBDIR lib/${UPDATER_TRIPLET} CACHE PATH "Object code libraries")
