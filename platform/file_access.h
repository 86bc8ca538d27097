#ifndef FILE_ACCESS_H
#define FILE_ACCESS_H

// Access to recordings and their index files through plain descriptors:
// positioned reads need no shared file position, so one descriptor serves
// several threads. Every result is a return code; failures leave errno's text
// in `reason`.

#include <QByteArray>
#include <QString>

#include <cstdio>

namespace FileAccess {

struct Facts {
    qint64 size = 0;
    qint64 modifiedNs = 0; // modification time, nanoseconds since the epoch
    qint64 changedNs = 0;  // status change time: no user can set it back, as `touch -r` does the other
    quint64 inode = 0;
    unsigned permissions = 0; // the mode's permission bits
    bool regular = false;
};

enum class Links { Follow, Refuse };

// Opens read-only without waiting for a writer (FIFOs) or a device; -1 on
// failure. Refuse: a symbolic link at `path` fails the open.
int openForReading(const QString &path, QString *reason, Links links = Links::Follow);
void closeFile(int fd);
bool facts(int fd, Facts &out, QString *reason);

// Reads on from the descriptor's position; 0 at the end, -1 on failure.
qint64 readSome(int fd, char *buffer, qint64 size);
// Exactly `size` bytes from `offset`; false when the file ends before or a read fails.
bool readAt(int fd, char *buffer, qint64 size, qint64 offset);

// Memory for large tables, zeroed, its pages mapped in one call: touching
// fresh pages one at a time costs several times more, above all in virtual
// machines. nullptr on failure.
void *allocateTable(qint64 bytes);
void releaseTable(void *table, qint64 bytes);

// A new file written beside `path` that takes its name when committed: it is
// created exclusively and never through a link, and the rename replaces
// whatever lies at the name (a symbolic link included) instead of writing
// through it.
struct Replacement {
    int folder = -1;
    int fd = -1;
    QByteArray name;
    QByteArray temporaryName;
};
enum class Folder {
    Any,
    // Owned by the effective user or by root, and not writable by every user
    // unless sticky: nobody else can put a name there between our steps.
    Trusted
};
enum class Begun { Created, FolderRefused, Failed };
// Creates the new file with exactly `permissions`.
Begun beginReplacement(const QString &path, unsigned permissions, Folder folder, Replacement &out,
                       QString *reason);
bool writeAll(int fd, const void *data, qint64 size, QString *reason);
// Syncs, closes and renames into place; on failure the new file is removed.
bool commitReplacement(Replacement &replacement, QString *reason);
// Removes the new file; the name keeps what it had.
void abandonReplacement(Replacement &replacement);

// For the stdio files recordings are written through: the size now (-1 on
// failure), and cutting the file back to `size` bytes (0 or errno).
qint64 fileSize(FILE *file);
int cutFile(FILE *file, qint64 size);

// What a file that is not a regular file is ("a FIFO", "a directory", ...).
QString kindText(int fd);

}

#endif
