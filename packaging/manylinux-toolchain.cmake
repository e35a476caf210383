# Builds programs that start on glibc 2.28 and later, linked against the C library of a Debian 11
# tree that packaging/make-sysroot makes, for the tree's processor:
#   cmake -DCMAKE_TOOLCHAIN_FILE=packaging/manylinux-toolchain.cmake -DQ9_SYSROOT=DIR ...
# (Q9_SYSROOT may also come from the environment.) packaging/check_glibc.py checks the result.
#
# For this machine's processor, the host's g++ builds with its C and C++ headers, its static C++
# runtime and the host's static archives (Q9_STATIC). For another one (an arm64 tree on x86-64),
# Debian's cross compilers (crossbuild-essential-arm64) build with the static archives of the
# host's multiarch packages (libpcre2-dev:arm64 ...), GoogleTest is built from Debian's source
# (/usr/src/googletest), and CMake runs the test programs through qemu-aarch64-static.
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

# The marker's first line names the tree's Debian architecture: "debian bullseye arm64".
file(STRINGS "${Q9_SYSROOT}/.q9-sysroot" _q9_marker LIMIT_COUNT 1)
string(REGEX REPLACE "^.* " "" _q9_debian_arch "${_q9_marker}")
set(_q9_processors amd64 x86_64 arm64 aarch64)
list(FIND _q9_processors "${_q9_debian_arch}" _q9_index)
if(_q9_index LESS 0 OR _q9_index GREATER 2)
  message(FATAL_ERROR "${Q9_SYSROOT}: a tree for '${_q9_debian_arch}' (amd64 or arm64 expected)")
endif()
math(EXPR _q9_index "${_q9_index} + 1")
list(GET _q9_processors ${_q9_index} Q9_TARGET_PROCESSOR)
set(_q9_triplet "${Q9_TARGET_PROCESSOR}-linux-gnu")

if(Q9_TARGET_PROCESSOR STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  if(NOT CMAKE_CXX_COMPILER)
    set(CMAKE_CXX_COMPILER g++)
  endif()
  if(NOT CMAKE_C_COMPILER)
    set(CMAKE_C_COMPILER gcc)
  endif()
else()
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${Q9_TARGET_PROCESSOR})
  set(CMAKE_LIBRARY_ARCHITECTURE ${_q9_triplet})
  set(Q9_DEBIAN_ARCH ${_q9_debian_arch})  # names the :arm64 packages a build lacks
  find_program(Q9_CROSS_CXX ${_q9_triplet}-g++)
  find_program(Q9_CROSS_CC ${_q9_triplet}-gcc)
  if(NOT Q9_CROSS_CXX OR NOT Q9_CROSS_CC)
    message(FATAL_ERROR "missing: the ${_q9_triplet} cross compilers "
      "(Debian: crossbuild-essential-${_q9_debian_arch})")
  endif()
  set(CMAKE_CXX_COMPILER ${Q9_CROSS_CXX})
  set(CMAKE_C_COMPILER ${Q9_CROSS_CC})
  # Debian 12 has no ${_q9_triplet}-pkg-config: point pkg-config at the multiarch files.
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${_q9_triplet}/pkgconfig:/usr/share/pkgconfig")
  set(Q9_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources built with the tests")
  # Without binfmt_misc the emulator is called by name. Its -L folder is searched first for every
  # path a program opens, so it holds only the tree's /lib (the loader and the C library): with
  # the whole tree there, /dev/ptmx or /tmp would be the tree's.
  find_program(Q9_EMULATOR qemu-${Q9_TARGET_PROCESSOR}-static)
  if(Q9_EMULATOR)
    set(_q9_prefix "${CMAKE_BINARY_DIR}/q9-emulator-root")
    file(MAKE_DIRECTORY "${_q9_prefix}")
    file(CREATE_LINK "${Q9_SYSROOT}/lib" "${_q9_prefix}/lib" SYMBOLIC)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${Q9_EMULATOR};-L;${_q9_prefix}")
  endif()
endif()
set(Q9_STATIC ON CACHE BOOL "Link libstdc++, SQLite and PCRE2 statically")

set(_q9_libdir "${Q9_SYSROOT}/usr/lib/${_q9_triplet}")
if(NOT EXISTS "${_q9_libdir}/libc_nonshared.a")
  message(FATAL_ERROR "${Q9_SYSROOT}: no C library for ${Q9_TARGET_PROCESSOR} (${_q9_libdir})")
endif()

# The compatibility object, made anew whenever CMake configures; editing its source reconfigures.
set(_q9_compat_source "${CMAKE_CURRENT_LIST_DIR}/glibc_compat.c")
set(_q9_compat "${CMAKE_BINARY_DIR}/q9-glibc-compat.o")
execute_process(
  COMMAND "${CMAKE_C_COMPILER}" -std=c11 -O2 -fPIC -Wall -Wextra -Wpedantic
          -c "${_q9_compat_source}" -o "${_q9_compat}"
  RESULT_VARIABLE _q9_status)
if(NOT _q9_status EQUAL 0)
  message(FATAL_ERROR "${_q9_compat_source}: cannot be compiled (${_q9_status})")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_q9_compat_source}")

set(_q9_tree "-B\"${_q9_libdir}/\" -L\"${_q9_libdir}\" -Wl,--sysroot=\"${Q9_SYSROOT}\" -pthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "\"${_q9_compat}\" ${_q9_tree} -Wl,--no-undefined")
# Loadable modules (a test preloads one) too; they may leave symbols to the program.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "\"${_q9_compat}\" ${_q9_tree}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_MODULE_LINKER_FLAGS_INIT}")
# Before glibc 2.34, dlopen and its kin live in libdl; linked only where a program uses them.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-Wl,--push-state,--as-needed -ldl -Wl,--pop-state")
# C programs (GoogleTest's build checks its C compiler) need libm for the compatibility object's
# exp, log and pow, which C++ programs get through the C++ runtime.
set(CMAKE_C_STANDARD_LIBRARIES_INIT "${CMAKE_CXX_STANDARD_LIBRARIES_INIT} -lm")
