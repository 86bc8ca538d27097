#include "record/record_file.h"

#include <QFile>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE *RecordFile::openTemporary(const QString &path)
{
    // The name is fixed and lies in a directory every user can write to: never
    // follow a link planted there, and never block on a planted FIFO (O_NONBLOCK
    // changes nothing for the regular file we accept).
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                          0600);
    if (fd < 0)
        return nullptr;
    struct stat info;
    // fchmod also fails on a file of another user, which we must not record into.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::fchmod(fd, 0600) != 0) {
        ::close(fd);
        return nullptr;
    }
    FILE *file = ::fdopen(fd, "wb");
    if (!file) {
        ::close(fd);
        return nullptr;
    }
    // Unbuffered, so that a failed write shows in the very fwrite of its datagram
    // (and is counted) and what was received is on disk even if the program dies.
    ::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

bool RecordFile::copyInto(const QString &source, const QString &target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    char chunk[64 * 1024];
    for (;;) {
        const qint64 got = in.read(chunk, sizeof chunk);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (out.write(chunk, got) != got)
            return false;
    }
    return out.commit();
}
