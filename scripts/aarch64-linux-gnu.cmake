# Cross-compiles the extension for 64-bit ARM Linux on an x86_64 Debian, with
# Debian's cross compiler and the arm64 development packages installed beside
# the host's own (multiarch); scripts/build-wheel.sh --arch aarch64 uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# pkg-config must describe the arm64 libraries, never the host's; PKG_CONFIG_PATH
# still adds what the build script unpacked itself.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
