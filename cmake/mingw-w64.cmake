# Cross-compiling for 64-bit Windows with Debian's mingw-w64 compilers.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DQD_WINDOWS_PREFIX=build-windows/deps/prefix ...
#
# QD_WINDOWS_PREFIX is where scripts/build-windows.sh installs the static
# Windows libraries (zlib, expat, libpng, OpenSSL, libcurl, wxWidgets).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix compilers: their libstdc++ has std::thread and std::mutex (the
# -win32 ones do not), and every C++ library in the prefix is built with them.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(QD_WINDOWS_PREFIX "" CACHE PATH "Prefix holding the static Windows libraries")
if(QD_WINDOWS_PREFIX)
    get_filename_component(QD_WINDOWS_PREFIX "${QD_WINDOWS_PREFIX}" ABSOLUTE)
endif()
# try_compile() projects read this file again; hand them the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QD_WINDOWS_PREFIX)

# Libraries, headers and packages come from the prefix and the mingw-w64
# system root only; programs (wxrc, pkg-config, ...) from the build machine.
set(CMAKE_FIND_ROOT_PATH ${QD_WINDOWS_PREFIX} /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The build machine's pkg-config would otherwise answer with its own Linux
# libraries.
if(QD_WINDOWS_PREFIX)
    set(ENV{PKG_CONFIG_LIBDIR} "${QD_WINDOWS_PREFIX}/lib/pkgconfig")
else()
    set(ENV{PKG_CONFIG_LIBDIR} "/usr/x86_64-w64-mingw32/lib/pkgconfig")
endif()
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})
