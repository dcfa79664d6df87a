# Debian's hardening for the program that ships, as the target
# peerloom_hardening: link it into every target whose code ends up in the
# program. With -DPEERLOOM_HARDEN=OFF it carries nothing.
#
# The flags are those of `DEB_BUILD_MAINT_OPTIONS=hardening=+all
# dpkg-buildflags`, plus the stack clash and control flow protection that
# hardening-check also asks for. They are written out here rather than read
# from dpkg-buildflags when configuring: its output also holds -g, -O2 and a
# -ffile-prefix-map for the current directory, which would override the build
# type; bookworm's dpkg-buildflags leaves out stack clash and control flow
# protection; and without dpkg-dev the flags would silently vanish. The
# package test runs hardening-check and lintian on the .deb, so a flag Debian
# comes to expect and this list lacks fails there.

option(PEERLOOM_HARDEN "Build the program with Debian's hardening flags" ON)

add_library(peerloom_hardening INTERFACE)
if(NOT PEERLOOM_HARDEN)
  return()
endif()

# PIE: every object compiled with -fPIE and every executable linked with -pie,
# which CMake only passes once check_pie_supported() has found the linker can.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported(OUTPUT_VARIABLE pie_output LANGUAGES CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
  message(FATAL_ERROR "The linker cannot make a position independent executable; "
                      "-DPEERLOOM_HARDEN=OFF builds without hardening.\n${pie_output}")
endif()

# A format string that is not a literal and has no arguments is an error.
target_compile_options(peerloom_hardening INTERFACE
  -fstack-protector-strong -Wformat -Werror=format-security)

# Not every compiler has these for every architecture: -fcf-protection is
# x86 only, and the build goes on without what is missing.
include(CheckCXXCompilerFlag)
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "PEERLOOM_CXX_HAS${flag}" has_flag)
  check_cxx_compiler_flag(${flag} ${has_flag})
  if(${has_flag})
    target_compile_options(peerloom_hardening INTERFACE ${flag})
  else()
    message(STATUS "${CMAKE_CXX_COMPILER_ID} has no ${flag} here: built without it")
  endif()
endforeach()

# glibc's checked string and memory functions work only when optimising, and
# without it glibc warns in every file: so none in Debug, the one build type
# without -O. Nor under the sanitizers, whose checks of the same calls the
# checked versions would get around.
if(NOT PEERLOOM_SANITIZE)
  target_compile_definitions(peerloom_hardening INTERFACE
    $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()

# Full RELRO: every symbol is bound at start-up (-z now), so that all the
# relocations can be made read-only after it (-z relro).
target_link_options(peerloom_hardening INTERFACE LINKER:-z,relro LINKER:-z,now)
