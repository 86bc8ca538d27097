#include "platform/record_file.h"

#include "platform/file_access.h"

#include <QFile>
#include <QFileInfo>

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
// changes nothing for the regular file we accept). -1 with `*error` set, or
// with it 0 for a file of another user: root's fchmod would succeed on it, and
// the recording would stay theirs.
int openOwned(const QString &path, int flags, int *error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0)
        *error = errno;
    else if (!S_ISREG(info.st_mode))
        *error = EINVAL;
    else if (info.st_uid != ::geteuid())
        *error = 0;
    else if (::fchmod(fd, 0600) != 0)
        *error = errno;
    else
        return fd;
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

// A regular file at the target keeps its permissions; a link or nothing there
// gives those of a newly created file, since the name becomes the recording.
mode_t keptFileMode(const QByteArray &target)
{
    struct stat old;
    return ::lstat(target.constData(), &old) == 0 && S_ISREG(old.st_mode) ? (old.st_mode & 07777)
                                                                         : createdFileMode();
}

}

RecordFile::Claim RecordFile::claimTemporary(const QString &path, FILE **file, int *error)
{
    // Never O_TRUNC: the file may be another copy's recording or a crash's leftover.
    const int fd = openOwned(path, O_WRONLY | O_CREAT | O_APPEND, error);
    if (fd < 0)
        return *error == 0 ? Claim::Busy : Claim::Failed;
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
    const bool unheld = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()
                     && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    // An empty one holds nothing to offer; removed while locked, so no copy that claims it meanwhile loses it.
    if (unheld && info.st_size == 0)
        ::unlink(name.constData());
    const bool abandoned = unheld && info.st_size > 0;
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
    const mode_t mode = keptFileMode(to);
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
    // Beside the target's name and renamed over it: a link at the name is
    // replaced as a rename on one file system replaces it, never written through.
    QString why;
    FileAccess::Replacement out;
    if (FileAccess::beginReplacement(target, keptFileMode(QFile::encodeName(target)), FileAccess::Folder::Any, out,
                                     &why)
        != FileAccess::Begun::Created)
        return fail(why);
    const auto abandon = [&out, &fail](const QString &reason) {
        FileAccess::abandonReplacement(out);
        return fail(reason);
    };
    const qint64 total = in.size();
    const qint64 step = qMax<qint64>(total / 100, 1);
    qint64 done = 0, reported = 0;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (cancel && cancel->load())
            return abandon(QStringLiteral("cancelled"));
        const qint64 got = in.read(chunk.data(), chunk.size());
        if (got < 0)
            return abandon(in.errorString());
        if (got == 0)
            break;
        if (!FileAccess::writeAll(out.fd, chunk.constData(), got, &why))
            return abandon(why);
        done += got;
        if (progress && done - reported >= step) {
            reported = done;
            progress(done, total);
        }
    }
    if (!FileAccess::commitReplacement(out, &why))
        return fail(why);
    if (progress)
        progress(done, total);
    return true;
}
