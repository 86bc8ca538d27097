#include "platform/file_write.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<int> serial{0};

bool failed(QString *reason, int error)
{
    if (reason)
        *reason = QString::fromLocal8Bit(std::strerror(error));
    return false;
}

bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(qMin<qint64>(size, qint64(1) << 30)));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool copyThroughBuffer(int in, int out, qint64 offset, qint64 length)
{
    QByteArray buffer(int(qMin<qint64>(length, qint64(1) << 20)), Qt::Uninitialized);
    while (length > 0) {
        const ssize_t got = ::pread(in, buffer.data(), size_t(qMin<qint64>(length, buffer.size())), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO; // the source ended early: it changed under us
            return false;
        }
        if (!writeAll(out, buffer.constData(), got))
            return false;
        offset += got;
        length -= got;
    }
    return true;
}

}

namespace FileWrite {

bool begin(const QString &target, Pending &pending, QString *reason)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = QStringLiteral("%1.part-%2-%3").arg(target).arg(::getpid()).arg(serial++);
        const int fd = ::open(QFile::encodeName(name).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            pending = {fd, name, target};
            return true;
        }
        if (errno != EEXIST)
            return failed(reason, errno);
    }
    return failed(reason, EEXIST);
}

bool append(Pending &pending, const char *data, qint64 size, QString *reason)
{
    return writeAll(pending.fd, data, size) || failed(reason, errno);
}

bool appendRange(Pending &pending, int sourceFd, qint64 offset, qint64 length, QString *reason)
{
    loff_t from = offset;
    while (length > 0) {
        const ssize_t copied = ::copy_file_range(sourceFd, &from, pending.fd, nullptr,
                                                 size_t(qMin<qint64>(length, qint64(1) << 30)), 0);
        if (copied > 0) {
            length -= copied;
            continue;
        }
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied == 0) // the source ended early: it changed under us
            return failed(reason, EIO);
        // Kernels and file systems that cannot copy in place: the same bytes through a buffer.
        if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)
            return copyThroughBuffer(sourceFd, pending.fd, from, length) || failed(reason, errno);
        return failed(reason, errno);
    }
    return true;
}

bool commit(Pending &pending, QString *reason, bool sync)
{
    const QByteArray to = QFile::encodeName(pending.targetPath);
    struct stat old;
    if (::lstat(to.constData(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(pending.fd, old.st_mode & 07777);
    // A full disk or a failing device shows in the sync, before the old file is gone.
    const bool synced = !sync || ::fsync(pending.fd) == 0;
    const int syncError = errno;
    const bool closed = ::close(pending.fd) == 0;
    const int closeError = errno;
    pending.fd = -1;
    if (!synced || !closed) {
        abandon(pending);
        return failed(reason, !synced ? syncError : closeError);
    }
    const int error = renameOnto(pending.temporaryPath, pending.targetPath);
    if (error != 0) {
        abandon(pending);
        return failed(reason, error);
    }
    pending.temporaryPath.clear();
    return true;
}

void abandon(Pending &pending)
{
    if (pending.fd >= 0)
        ::close(pending.fd);
    pending.fd = -1;
    if (!pending.temporaryPath.isEmpty())
        ::unlink(QFile::encodeName(pending.temporaryPath).constData());
    pending.temporaryPath.clear();
}

bool replace(const QString &target, const QByteArray &bytes, QString *reason, bool sync)
{
    Pending pending;
    if (!begin(target, pending, reason))
        return false;
    if (!append(pending, bytes.constData(), bytes.size(), reason)) {
        abandon(pending);
        return false;
    }
    return commit(pending, reason, sync);
}

int renameOnto(const QString &source, const QString &target)
{
    return ::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) == 0 ? 0 : errno;
}

int removeFile(const QString &path)
{
    return ::unlink(QFile::encodeName(path).constData()) == 0 ? 0 : errno;
}

}
