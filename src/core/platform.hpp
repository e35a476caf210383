// The calls that only Linux or the GNU C library offer, each behind one check. Q9_HAVE_<X> is 1
// where the call is there and 0 where the code does the same job with plain POSIX calls; a
// build with Q9_POSIX_ONLY defined (CMake option of that name) sets every one to 0, so that a
// Linux machine runs all of those paths. The README lists each call with its stand-in.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#if defined(__GLIBC__) && !defined(Q9_POSIX_ONLY)
#include <malloc.h>
#endif

#if defined(Q9_POSIX_ONLY)
#define Q9_HAVE_MALLOPT 0
#define Q9_HAVE_POPULATE_WRITE 0
#define Q9_HAVE_HUGEPAGE 0
#define Q9_HAVE_MAP_POPULATE 0
#define Q9_HAVE_MAP_NORESERVE 0
#define Q9_HAVE_SYNC_FILE_RANGE 0
#define Q9_HAVE_SIGTIMEDWAIT 0
#define Q9_HAVE_RENAMEAT2 0
#define Q9_HAVE_MEMRCHR 0
#define Q9_HAVE_PROC 0
#else
// Heap tuning: keep freed buffers of megabytes for reuse instead of unmapping them.
#if defined(__GLIBC__) && defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
#define Q9_HAVE_MALLOPT 1
#else
#define Q9_HAVE_MALLOPT 0
#endif
// Faulting in a fresh buffer's pages in one call (kernel headers of Linux 5.14 and later).
#ifdef MADV_POPULATE_WRITE
#define Q9_HAVE_POPULATE_WRITE 1
#else
#define Q9_HAVE_POPULATE_WRITE 0
#endif
// Asking for a range of the heap in huge pages: one fault, not 512, per 2 MB filled.
#ifdef MADV_HUGEPAGE
#define Q9_HAVE_HUGEPAGE 1
#else
#define Q9_HAVE_HUGEPAGE 0
#endif
// Reading a mapped file's pages in as it is mapped.
#ifdef MAP_POPULATE
#define Q9_HAVE_MAP_POPULATE 1
#else
#define Q9_HAVE_MAP_POPULATE 0
#endif
// A mapping that reserves no swap.
#ifdef MAP_NORESERVE
#define Q9_HAVE_MAP_NORESERVE 1
#else
#define Q9_HAVE_MAP_NORESERVE 0
#endif
// Starting write-back of a file's data ahead of the fsync that waits for it.
#ifdef SYNC_FILE_RANGE_WRITE
#define Q9_HAVE_SYNC_FILE_RANGE 1
#else
#define Q9_HAVE_SYNC_FILE_RANGE 0
#endif
// Taking a pending signal off without waiting. POSIX has it, macOS does not.
#if defined(__linux__) || defined(__FreeBSD__) || defined(__NetBSD__)
#define Q9_HAVE_SIGTIMEDWAIT 1
#else
#define Q9_HAVE_SIGTIMEDWAIT 0
#endif
// Renaming a file unless the new name exists, in one call (glibc 2.28 and later).
#if defined(__GLIBC__) && defined(RENAME_NOREPLACE)
#define Q9_HAVE_RENAMEAT2 1
#else
#define Q9_HAVE_RENAMEAT2 0
#endif
// Searching memory backwards for a byte.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
#define Q9_HAVE_MEMRCHR 1
#else
#define Q9_HAVE_MEMRCHR 0
#endif
// /proc with a folder per process (used by the tests to watch processes).
#ifdef __linux__
#define Q9_HAVE_PROC 1
#else
#define Q9_HAVE_PROC 0
#endif
#endif

namespace q9::platform {

// Every check above by name, for the test that a Q9_POSIX_ONLY build turned them all off.
struct Check {
  const char* name;
  bool on;
};
inline constexpr Check CHECKS[] = {
    {"Q9_HAVE_MALLOPT", Q9_HAVE_MALLOPT},
    {"Q9_HAVE_POPULATE_WRITE", Q9_HAVE_POPULATE_WRITE},
    {"Q9_HAVE_HUGEPAGE", Q9_HAVE_HUGEPAGE},
    {"Q9_HAVE_MAP_POPULATE", Q9_HAVE_MAP_POPULATE},
    {"Q9_HAVE_MAP_NORESERVE", Q9_HAVE_MAP_NORESERVE},
    {"Q9_HAVE_SYNC_FILE_RANGE", Q9_HAVE_SYNC_FILE_RANGE},
    {"Q9_HAVE_SIGTIMEDWAIT", Q9_HAVE_SIGTIMEDWAIT},
    {"Q9_HAVE_RENAMEAT2", Q9_HAVE_RENAMEAT2},
    {"Q9_HAVE_MEMRCHR", Q9_HAVE_MEMRCHR},
    {"Q9_HAVE_PROC", Q9_HAVE_PROC},
};

}  // namespace q9::platform
