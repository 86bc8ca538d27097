#include "platform/file_access.h"

#include <QFile>

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

int openForReading(const QString &path, QString *reason)
{
    // O_NONBLOCK: opening a FIFO would otherwise wait until a writer appears.
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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

const char *mapFile(int fd, qint64 bytes)
{
    // MAP_POPULATE: one call sets up every page instead of a fault per page.
    void *data = ::mmap(nullptr, size_t(bytes), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    return data == MAP_FAILED ? nullptr : static_cast<const char *>(data);
}

void unmapFile(const char *data, qint64 bytes)
{
    if (data)
        ::munmap(const_cast<char *>(data), size_t(bytes));
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
