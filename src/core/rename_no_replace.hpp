// Renaming a file onto a name only while that name is free.
#pragma once

#include <filesystem>

namespace q9::files {

// Renames `from` to `to` unless something (a dangling symbolic link included) is at `to`
// already. Returns 0, EEXIST when `to` was there, or the errno of the failure. Where the
// system renames so in one call, that call is used; where it has none, or the file system
// refuses it (EINVAL, ENOSYS), rename_no_replace_locked() does the job.
int rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to);

// The same with a lock: the test for `to` and the rename are one step for every process
// that renames onto `to` through these calls. It assumes that nothing removes `to` once it
// is there (q9 never does): a `to` removed between the test and the rename by someone
// else could be replaced. A lock file "<to>.rename-lock" may stay behind when the rename
// failed.
int rename_no_replace_locked(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace q9::files
