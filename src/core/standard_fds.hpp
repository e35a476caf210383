// Descriptors 0-2 that a program was started without. Anything it opened would otherwise take
// their numbers, and text meant for standard output would land in a database file or a
// server connection.
#pragma once

namespace q9::standard_fds {

// Call first thing in main, before anything opens a file or a connection: puts /dev/null on
// each of descriptors 0, 1 and 2 that is closed, and remembers which were. Returns 0, or the
// errno of a descriptor that could not be filled (the program should then stop, since any
// file it opened could become its standard output). Call it once; it is not thread-safe.
int guard();

// guard(), and when it fails, "<program>: error: /dev/null: <reason>" on standard error (where
// that is open). Returns whether the program may go on.
bool guard_or_report(const char* program);

// Whether `fd` (0, 1 or 2) was closed when guard() ran.
bool was_closed(int fd);

// The descriptor to write `fd`'s text to: `fd` itself, or -1 when it was closed at start, so
// that writing there fails with EBADF as it would have without guard() (q9 reports
// "standard output: Bad file descriptor").
int for_writing(int fd);

}  // namespace q9::standard_fds
