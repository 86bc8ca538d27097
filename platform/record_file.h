#ifndef RECORD_FILE_H
#define RECORD_FILE_H

#include <QString>

#include <atomic>
#include <cstdio>
#include <functional>

// The platform side of temporary recordings and their saving.
namespace RecordFile {

enum class Claim { Claimed, Busy, Unsaved, Failed };
// Opens the temporary recording `path` for binary writing, owner-only, without
// truncating; an existing symbolic link is refused, never followed. Unbuffered:
// every fwrite reaches the file or fails on its own. Takes an
// exclusive lock on it that lasts until the returned file is closed.
// Claimed: `*file` is the locked, empty recording. Busy: another running copy
// holds it, or another user owns it. Unsaved: nobody holds it but it is not empty (left behind by a
// crash): it is left untouched. Failed: `*error` holds errno.
Claim claimTemporary(const QString &path, FILE **file, int *error);
// Empties a claimed recording for the next one; 0 or errno.
int truncate(FILE *file);

// A non-empty regular file of ours at `path` that no running copy holds. An
// empty one that nobody holds is removed on the way: it has nothing to offer.
bool isAbandoned(const QString &path, qint64 *size, qint64 *modifiedMsecs);

// True when `file` and the directory `directory` lie on the same file system.
bool sameFileSystem(const QString &file, const QString &directory);
// Moves `source` onto `target`, atomically. A regular file at the target
// keeps the permissions it had; otherwise the recording gets those of a newly
// created file. A link at the target is replaced, not followed. 0 or errno.
int moveInto(const QString &source, const QString &target);

using Progress = std::function<void(qint64 done, qint64 total)>;
// Copies the recording at `source` to `target` through a new file beside the
// target that is renamed into place, so a failed copy leaves no partial
// target and never removes the old one, and a link at the target is
// replaced, never written through. `cancel` is polled between chunks;
// `progress` is called at most about a hundred times. False on any failure or
// cancel, with the reason in `*reason` when given.
bool copyInto(const QString &source, const QString &target, const std::atomic<bool> *cancel = nullptr,
              const Progress &progress = {}, QString *reason = nullptr);

}

#endif
