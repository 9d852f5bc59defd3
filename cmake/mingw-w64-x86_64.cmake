# CMake toolchain file: cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix threads).
#
#   cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_PREFIX_PATH=<Qt for Windows prefix> -DQT_HOST_PATH=/usr ...
#
# Every entry of CMAKE_PREFIX_PATH (and CMAKE_STAGING_PREFIX) is added to the find root path, so a
# Qt prefix outside /usr/x86_64-w64-mingw32 is found although libraries, headers and packages are
# looked up only under the root paths.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
foreach(_pelmor_prefix IN LISTS CMAKE_PREFIX_PATH CMAKE_STAGING_PREFIX)
    if(IS_ABSOLUTE "${_pelmor_prefix}")
        list(APPEND CMAKE_FIND_ROOT_PATH "${_pelmor_prefix}")
    endif()
endforeach()
unset(_pelmor_prefix)
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)

# Programs (moc, uic, rcc, windres...) come from the build machine; everything linked comes from
# the root paths.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
