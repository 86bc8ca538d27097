#ifndef REMOTE_TOKEN_H
#define REMOTE_TOKEN_H

#include <QString>

// The remote control's secret: 32 random bytes as 64 hex digits in a file only
// its owner may read. Shown by the window's dialog, never logged or printed.
namespace RemoteToken {

// The token file in the settings folder.
QString defaultPath(const QString &settingsDir);
// Reads the token of `path`, creating the file (and its folder) when missing;
// a file others may read is narrowed to its owner. False with the reason.
bool load(const QString &path, QString &token, QString &error);
// Whether `given` is `token`, in a time that does not depend on where they differ.
bool matches(const QString &token, const QString &given);

}

#endif
