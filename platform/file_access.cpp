#include "platform/file_access.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

}

namespace FileAccess {

int openForReading(const QString &path, QString *reason, Links links)
{
    // O_NONBLOCK: opening a FIFO would otherwise wait until a writer appears.
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == Links::Refuse ? O_NOFOLLOW : 0);
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && reason)
        *reason = errnoText();
    return fd;
}

void closeFile(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

bool facts(int fd, Facts &out, QString *reason)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        if (reason)
            *reason = errnoText();
        return false;
    }
    out.size = qint64(st.st_size);
    out.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.changedNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    out.inode = quint64(st.st_ino);
    out.permissions = unsigned(st.st_mode & 07777);
    out.regular = S_ISREG(st.st_mode);
    return true;
}

qint64 readSome(int fd, char *buffer, qint64 size)
{
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size_t(size));
        if (got >= 0 || errno != EINTR)
            return qint64(got);
    }
}

bool readAt(int fd, char *buffer, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t got = ::pread(fd, buffer, size_t(size), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer += got;
        size -= got;
        offset += got;
    }
    return true;
}

void *allocateTable(qint64 bytes)
{
    void *table = ::mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                         -1, 0);
    return table == MAP_FAILED ? nullptr : table;
}

void releaseTable(void *table, qint64 bytes)
{
    if (table)
        ::munmap(table, size_t(bytes));
}

Begun beginReplacement(const QString &path, unsigned permissions, Folder folder, Replacement &out,
                       QString *reason)
{
    const QFileInfo info(path);
    out.name = QFile::encodeName(info.fileName());
    out.folder = ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (out.folder < 0 || ::fstat(out.folder, &st) != 0) {
        if (reason)
            *reason = errnoText();
        abandonReplacement(out);
        return Begun::Failed;
    }
    if (folder == Folder::Trusted
        && ((st.st_uid != ::geteuid() && st.st_uid != 0) || ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX)))) {
        abandonReplacement(out);
        return Begun::FolderRefused;
    }
    // O_EXCL with O_NOFOLLOW: a name someone else put there first fails the open instead of being used.
    for (int attempt = 0; attempt < 16 && out.fd < 0; ++attempt) {
        out.temporaryName = '.' + out.name + '.'
                            + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        out.fd = ::openat(out.folder, out.temporaryName.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out.fd < 0 && errno != EEXIST)
            break;
    }
    if (out.fd < 0)
        out.temporaryName.clear(); // not ours to remove
    if (out.fd < 0 || ::fchmod(out.fd, mode_t(permissions & 07777)) != 0) {
        if (reason)
            *reason = errnoText();
        abandonReplacement(out);
        return Begun::Failed;
    }
    return Begun::Created;
}

bool writeAll(int fd, const void *data, qint64 size, QString *reason)
{
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd, at, size_t(size));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (reason)
                *reason = put < 0 ? errnoText() : QString::fromLocal8Bit(std::strerror(ENOSPC));
            return false;
        }
        at += put;
        size -= put;
    }
    return true;
}

bool commitReplacement(Replacement &r, QString *reason)
{
    // Synced before the rename, so a full disk shows here and a crash never leaves a short file at the name.
    bool ok = ::fsync(r.fd) == 0;
    ok = ::close(r.fd) == 0 && ok;
    r.fd = -1;
    ok = ok && ::renameat(r.folder, r.temporaryName.constData(), r.folder, r.name.constData()) == 0;
    if (!ok) {
        if (reason)
            *reason = errnoText();
        abandonReplacement(r);
        return false;
    }
    ::close(r.folder);
    r.folder = -1;
    return true;
}

void abandonReplacement(Replacement &r)
{
    if (r.fd >= 0) {
        ::close(r.fd);
        r.fd = -1;
    }
    if (r.folder >= 0) {
        if (!r.temporaryName.isEmpty())
            ::unlinkat(r.folder, r.temporaryName.constData(), 0);
        ::close(r.folder);
        r.folder = -1;
    }
    r.temporaryName.clear();
}

qint64 fileSize(FILE *file)
{
    struct stat info;
    return ::fstat(fileno(file), &info) == 0 ? qint64(info.st_size) : -1;
}

int cutFile(FILE *file, qint64 size)
{
    int result;
    do {
        result = ::ftruncate(fileno(file), off_t(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

QString kindText(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return errnoText();
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a directory");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("a socket");
    return QStringLiteral("a special file");
}

}
