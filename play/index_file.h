#ifndef INDEX_FILE_H
#define INDEX_FILE_H

#include "platform/file_access.h"

#include <QString>

struct IndexTables;

// The index of a recording saved beside it (FILE.wly.idx), so that opening a
// large recording again needs no scan. It names the size, modification and
// change time and inode of the recording it describes and ends with a
// checksum; anything that does not match or add up is ignored. The recording
// itself never changes format.
namespace IndexFile {

// Over the whole file but its last word, which holds the result. Catches
// damage, not forgery: every 8-byte word is mixed into one of four running
// values (four, so that the multiplications do not wait on each other).
class Checksum
{
public:
    void add(const void *data, qint64 bytes); // whole words; a shorter tail is left out
    quint64 value() const;

private:
    quint64 lanes[4] = {0x6A09E667F3BCC908ull, 0xBB67AE8584CAA73Bull, 0x3C6EF372FE94F82Bull, 0xA54FF53A5F1D36F1ull};
    unsigned next = 0; // lane of the next word, so that the result does not depend on how the file is cut
};

// Fills `tables` from the index file at `path` when it describes the
// recording open as `recordingFd` with `recording`'s facts; false (with
// `tables` in any state) when it is missing, a symbolic link, stale, damaged,
// or cut while read. Read into memory, never mapped: a file cut in place
// would otherwise fault at the next touch.
bool read(const QString &path, int recordingFd, const FileAccess::Facts &recording, IndexTables &tables);
// Writes a new file beside `path` and renames it over the name, so a reader
// never sees half a file and a link at the name is replaced, never followed.
// Only into a folder FileAccess::Folder::Trusted accepts; false elsewhere.
bool write(const QString &path, const FileAccess::Facts &recording, const IndexTables &tables);

}

#endif
