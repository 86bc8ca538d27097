#ifndef FILE_ACCESS_H
#define FILE_ACCESS_H

// Read access to recordings and their index files through plain descriptors:
// positioned reads need no shared file position, so one descriptor serves
// several threads. Every result is a return code; failures leave errno's text
// in `reason`.

#include <QString>

#include <cstdio>

namespace FileAccess {

struct Facts {
    qint64 size = 0;
    qint64 modifiedNs = 0; // modification time, nanoseconds since the epoch
    bool regular = false;
};

// Opens read-only without waiting for a writer (FIFOs) or a device; -1 on failure.
int openForReading(const QString &path, QString *reason);
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

// The first `bytes` of the file mapped read-only: the page cache's own pages,
// nothing copied. Touching a page the file no longer has raises SIGBUS, so
// map only files that are replaced by renaming, never cut in place. nullptr on
// failure; the mapping outlives closing the descriptor.
const char *mapFile(int fd, qint64 bytes);
void unmapFile(const char *data, qint64 bytes);

// For the stdio files recordings are written through: the size now (-1 on
// failure), and cutting the file back to `size` bytes (0 or errno).
qint64 fileSize(FILE *file);
int cutFile(FILE *file, qint64 size);

// What a file that is not a regular file is ("a FIFO", "a directory", ...).
QString kindText(int fd);

}

#endif
