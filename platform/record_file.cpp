#include "platform/record_file.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The names are fixed and lie in a directory every user can write to: never
// follow a link planted there, and never block on a planted FIFO (O_NONBLOCK
// changes nothing for the regular file we accept).
int openOwned(const QString &path, int flags, int *error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) == 0 && !S_ISREG(info.st_mode))
        errno = EINVAL;
    // fchmod also fails on a file of another user, which we must not record into.
    else if (::fstat(fd, &info) == 0 && ::fchmod(fd, 0600) == 0)
        return fd;
    *error = errno;
    ::close(fd);
    return -1;
}

// Unbuffered, so that a failed write shows in the very fwrite of its datagram
// (and is counted) and what was received is on disk even if the program dies.
FILE *unbuffered(int fd, const char *mode, int *error)
{
    FILE *file = ::fdopen(fd, mode);
    if (!file) {
        *error = errno;
        ::close(fd);
        return nullptr;
    }
    ::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

mode_t createdFileMode()
{
    // The umask can only be read by setting it, which would race with other
    // threads creating files; the kernel shows it here.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(0666 & ~mask);
            }
        }
    }
    return 0644;
}

}

RecordFile::Claim RecordFile::claimTemporary(const QString &path, FILE **file, int *error)
{
    // Never O_TRUNC: the file may be another copy's recording or a crash's leftover.
    const int fd = openOwned(path, O_WRONLY | O_CREAT | O_APPEND, error);
    if (fd < 0)
        return Claim::Failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int lockError = errno;
        ::close(fd);
        if (lockError == EWOULDBLOCK)
            return Claim::Busy;
        *error = lockError;
        return Claim::Failed;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || info.st_size != 0) {
        ::close(fd);
        return Claim::Unsaved;
    }
    *file = unbuffered(fd, "ab", error);
    return *file ? Claim::Claimed : Claim::Failed;
}

int RecordFile::truncate(FILE *file)
{
    return ::ftruncate(fileno(file), 0) == 0 ? 0 : errno;
}

bool RecordFile::isAbandoned(const QString &path, qint64 *size, qint64 *modifiedMsecs)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info;
    // A held lock means a running copy owns it; the lock taken here goes with the close.
    const bool abandoned = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()
                        && info.st_size > 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    if (abandoned) {
        *size = info.st_size;
        *modifiedMsecs = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    }
    return abandoned;
}

bool RecordFile::sameFileSystem(const QString &file, const QString &directory)
{
    struct stat a, b;
    return ::stat(QFile::encodeName(file).constData(), &a) == 0
        && ::stat(QFile::encodeName(directory).constData(), &b) == 0 && a.st_dev == b.st_dev;
}

int RecordFile::moveInto(const QString &source, const QString &target)
{
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(target);
    struct stat old;
    const mode_t mode = ::stat(to.constData(), &old) == 0 ? (old.st_mode & 07777) : createdFileMode();
    if (::rename(from.constData(), to.constData()) != 0)
        return errno;
    // The temporary recording is owner-only; a saved one is like any file the user saves.
    ::chmod(to.constData(), mode);
    return 0;
}

bool RecordFile::copyInto(const QString &source, const QString &target, const std::atomic<bool> *cancel,
                          const Progress &progress, QString *reason)
{
    auto fail = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return false;
    };
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fail(in.errorString());
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return fail(out.errorString());
    const qint64 total = in.size();
    const qint64 step = qMax<qint64>(total / 100, 1);
    qint64 done = 0, reported = 0;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (cancel && cancel->load())
            return fail(QStringLiteral("cancelled"));
        const qint64 got = in.read(chunk.data(), chunk.size());
        if (got < 0)
            return fail(in.errorString());
        if (got == 0)
            break;
        if (out.write(chunk.constData(), got) != got)
            return fail(out.errorString());
        done += got;
        if (progress && done - reported >= step) {
            reported = done;
            progress(done, total);
        }
    }
    // commit() flushes and syncs before the rename, so a full disk shows here.
    if (!out.commit())
        return fail(out.errorString());
    if (progress)
        progress(done, total);
    return true;
}
