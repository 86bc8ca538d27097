#include "remote/remote_token.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

namespace RemoteToken {

namespace {

constexpr int TokenBytes = 32;
constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

bool wellFormed(const QByteArray &text)
{
    if (text.size() != 2 * TokenBytes)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool create(const QString &path, QString &error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QByteArray bytes(TokenBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), TokenBytes / 4);
    QFile file(path);
    // Created with the owner's permissions only: never readable by others, not even for a moment.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, OwnerOnly)
        || file.write(bytes.toHex() + '\n') != 2 * TokenBytes + 1 || !file.flush()) {
        error = QStringLiteral("the token file %1 cannot be written: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

}

QString defaultPath(const QString &settingsDir)
{
    return settingsDir + QLatin1String("/config/remote-token");
}

bool load(const QString &path, QString &token, QString &error)
{
    if (!QFileInfo::exists(path) && !create(path, error))
        return false;
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("the token file %1 cannot be read").arg(path);
        return false;
    }
    if ((file.permissions() & ~(OwnerOnly | QFileDevice::ReadUser | QFileDevice::WriteUser)) != 0
        && !file.setPermissions(OwnerOnly)) {
        error = QStringLiteral("the token file %1 can be read by others and cannot be narrowed").arg(path);
        return false;
    }
    const QByteArray text = file.read(4 * TokenBytes).trimmed();
    if (!wellFormed(text)) {
        error = QStringLiteral("the token file %1 does not hold 64 lower-case hex digits").arg(path);
        return false;
    }
    token = QString::fromLatin1(text);
    return true;
}

bool matches(const QString &token, const QString &given)
{
    const QByteArray a = token.toLatin1(), b = given.toLatin1();
    unsigned difference = unsigned(a.size() ^ b.size());
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= unsigned(a[i] ^ (i < b.size() ? b[i] : 0));
    return !token.isEmpty() && difference == 0;
}

}
