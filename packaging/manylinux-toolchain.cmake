# Builds programs that start on glibc 2.28 and later with the host's g++: its C and C++ headers,
# its static C++ runtime and the host's static archives (Q9_STATIC), linked against the C library
# of the Debian 11 tree that packaging/make-sysroot makes.
#   cmake -DCMAKE_TOOLCHAIN_FILE=packaging/manylinux-toolchain.cmake -DQ9_SYSROOT=DIR ...
# (Q9_SYSROOT may also come from the environment.) packaging/check_glibc.py checks the result.
#
# The tree's start files and libraries come first (-B, -L); the linker's --sysroot makes the
# absolute paths inside its libc.so and libm.so scripts point into the tree. glibc_compat.c,
# compiled here and linked into every program, supplies the few newer symbols that GCC's own
# archives and the host's headers expect; --no-undefined turns anything else into a link error.
# The C library stays dynamic: name lookups and dlopen need the system's own shared libraries.

if(NOT Q9_SYSROOT)
  set(Q9_SYSROOT "$ENV{Q9_SYSROOT}")
endif()
if(NOT Q9_SYSROOT OR NOT EXISTS "${Q9_SYSROOT}/.q9-sysroot")
  message(FATAL_ERROR
    "Q9_SYSROOT='${Q9_SYSROOT}': not a tree made by packaging/make-sysroot (no .q9-sysroot)")
endif()
# try_compile reads this file again in a project of its own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES Q9_SYSROOT)

if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER g++)
endif()
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER gcc)
endif()
set(Q9_STATIC ON CACHE BOOL "Link libstdc++, SQLite and PCRE2 statically")

set(_q9_libdir "${Q9_SYSROOT}/usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu")
if(NOT EXISTS "${_q9_libdir}/libc_nonshared.a")
  message(FATAL_ERROR "${Q9_SYSROOT}: no C library for ${CMAKE_HOST_SYSTEM_PROCESSOR} (${_q9_libdir})")
endif()

# The compatibility object, made anew whenever CMake configures; editing its source reconfigures.
set(_q9_compat_source "${CMAKE_CURRENT_LIST_DIR}/glibc_compat.c")
set(_q9_compat "${CMAKE_BINARY_DIR}/q9-glibc-compat.o")
execute_process(
  COMMAND "${CMAKE_C_COMPILER}" -std=c11 -O2 -fPIE -Wall -Wextra -Wpedantic
          -c "${_q9_compat_source}" -o "${_q9_compat}"
  RESULT_VARIABLE _q9_status)
if(NOT _q9_status EQUAL 0)
  message(FATAL_ERROR "${_q9_compat_source}: cannot be compiled (${_q9_status})")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_q9_compat_source}")

set(CMAKE_EXE_LINKER_FLAGS_INIT
  "\"${_q9_compat}\" -B\"${_q9_libdir}/\" -L\"${_q9_libdir}\" -Wl,--sysroot=\"${Q9_SYSROOT}\" -pthread -Wl,--no-undefined")
# Before glibc 2.34, dlopen and its kin live in libdl; linked only where a program uses them.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-Wl,--push-state,--as-needed -ldl -Wl,--pop-state")
set(CMAKE_C_STANDARD_LIBRARIES_INIT "${CMAKE_CXX_STANDARD_LIBRARIES_INIT}")
