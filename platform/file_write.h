#ifndef FILE_WRITE_H
#define FILE_WRITE_H

// Safe writes: a new file is written beside its name and renamed onto it when
// complete, so a reader sees the old file or the new one, never a part, and a
// link planted at the name is replaced, never written through. Return codes
// only; failures leave errno's text in `reason`.

#include <QByteArray>
#include <QString>

namespace FileWrite {

struct Pending {
    int fd = -1;
    QString temporaryPath; // beside the target
    QString targetPath;
};

// Creates the file that becomes `target` at commit(); false with `*reason`.
bool begin(const QString &target, Pending &pending, QString *reason);
// Appends `size` bytes.
bool append(Pending &pending, const char *data, qint64 size, QString *reason);
// Appends `length` bytes of `sourceFd` from `offset`, in the kernel when it can
// (copy_file_range: no copy through user space, and extents shared where the
// file system shares them).
bool appendRange(Pending &pending, int sourceFd, qint64 offset, qint64 length, QString *reason);
// Syncs (when `sync`) and renames onto the target, which keeps the permissions it had.
// Without the sync a crash of the process still leaves the whole file; only a
// crash of the system can lose it.
bool commit(Pending &pending, QString *reason, bool sync = true);
// Removes the file begun; the target stays as it was.
void abandon(Pending &pending);

// The whole of `bytes` as the new content of `target`.
bool replace(const QString &target, const QByteArray &bytes, QString *reason, bool sync = true);
// Renames `source` onto `target`, atomically; 0 or errno.
int renameOnto(const QString &source, const QString &target);
// Removes `path`; 0, or errno (ENOENT when there was nothing).
int removeFile(const QString &path);

}

#endif
