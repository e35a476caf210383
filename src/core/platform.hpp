// The calls that only Linux or the GNU C library offer, each behind one check. Q9_HAVE_<X> is 1
// where the call is there and 0 where the code does the same job with plain POSIX calls; a
// build with Q9_POSIX_ONLY defined (CMake option of that name) sets every one to 0, so that a
// Linux machine runs all of those paths. The README lists each call with its stand-in.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#if defined(Q9_POSIX_ONLY)
#define Q9_HAVE_SYNC_FILE_RANGE 0
#define Q9_HAVE_SIGTIMEDWAIT 0
#define Q9_HAVE_RENAMEAT2 0
#define Q9_HAVE_MEMRCHR 0
#else
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
#endif

namespace q9::platform {

// Every check above by name, for the test that a Q9_POSIX_ONLY build turned them all off.
struct Check {
  const char* name;
  bool on;
};
inline constexpr Check CHECKS[] = {
    {"Q9_HAVE_SYNC_FILE_RANGE", Q9_HAVE_SYNC_FILE_RANGE},
    {"Q9_HAVE_SIGTIMEDWAIT", Q9_HAVE_SIGTIMEDWAIT},
    {"Q9_HAVE_RENAMEAT2", Q9_HAVE_RENAMEAT2},
    {"Q9_HAVE_MEMRCHR", Q9_HAVE_MEMRCHR},
};

}  // namespace q9::platform
