# Cross build for macOS from Linux: Debian's clang and lld against a macOS SDK root.
# scripts/check-macos-build drives it; it passes
#   QW_MACOS_SDK   the SDK root (MacOSX.sdk)
#   QW_MACOS_ARCH  arm64 or x86_64 (one architecture per build)
#   QW_MACOS_DEPS  a directory holding include/ (only the third-party headers: libplist,
#                  speexdsp, gtest), lib/ (link stubs of the Homebrew libraries) and
#                  pkgconfig/ (their .pc files)
# The deployment target is the project's own (CMAKE_OSX_DEPLOYMENT_TARGET, set before project()).
foreach(var QW_MACOS_SDK QW_MACOS_ARCH QW_MACOS_DEPS)
  if(NOT ${var} AND DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}")
  endif()
  if(NOT ${var})
    message(FATAL_ERROR "macos-cross.cmake needs ${var}")
  endif()
  # try_compile projects read this file again; the environment carries the values there.
  set(ENV{${var}} "${${var}}")
endforeach()

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${QW_MACOS_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${QW_MACOS_ARCH} CACHE STRING "one architecture per cross build")
set(CMAKE_OSX_SYSROOT ${QW_MACOS_SDK} CACHE PATH "the macOS SDK root")

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${QW_MACOS_ARCH}-apple-macos)
set(CMAKE_CXX_COMPILER_TARGET ${QW_MACOS_ARCH}-apple-macos)
set(CMAKE_AR llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib-14 CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL llvm-install-name-tool-14 CACHE FILEPATH "")
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
# ld64.lld; libSystem and libc++ are stubs without symbol lists, so their symbols are looked up
# at load time. scripts/check-macos-build checks every framework symbol afterwards.
set(link_flags "-fuse-ld=lld -Wl,-undefined,dynamic_lookup")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${link_flags}")

set(CMAKE_FIND_ROOT_PATH ${QW_MACOS_DEPS} ${QW_MACOS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${QW_MACOS_DEPS}/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
