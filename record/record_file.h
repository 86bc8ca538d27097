#ifndef RECORD_FILE_H
#define RECORD_FILE_H

#include <QString>

#include <cstdio>

namespace RecordFile {

// Creates or truncates the temporary recording for binary writing, owner-only.
// An existing symbolic link at `path` is refused, never followed. Unbuffered:
// every fwrite reaches the file or fails on its own. nullptr on failure.
FILE *openTemporary(const QString &path);

// Copies the recording at `source` to `target` through a temporary file beside
// the target that is renamed into place, so a failed copy leaves no partial
// target and never removes the old one. False on any failure.
bool copyInto(const QString &source, const QString &target);

}

#endif
