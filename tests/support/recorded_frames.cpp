#include "recorded_frames.h"

namespace Frames {

QByteArray stored(int n)
{
    return QStringLiteral("fr %1\r\nts %2\r\n  body %1 0.5 -3  \r\n# note\r\n")
        .arg(n).arg(100.0 + n / 100.0, 0, 'f', 3).toLatin1();
}

QByteArray sentFrame(int n)
{
    return QStringLiteral("fr %1\r\nts %2\r\nbody %1 0.5 -3\r\n").arg(n).arg(100.0 + n / 100.0, 0, 'f', 3).toLatin1();
}

QString shown(int n)
{
    return QString::fromLatin1(stored(n)).remove(QLatin1Char('\r'));
}

QByteArray recording(int from, int to, const QList<int> &lost)
{
    QByteArray bytes;
    for (int n = from; n <= to; ++n)
        if (!lost.contains(n))
            bytes += stored(n);
    return bytes;
}

QList<QByteArray> sent(const QList<int> &numbers)
{
    QList<QByteArray> list;
    for (int n : numbers)
        list << sentFrame(n);
    return list;
}

QList<int> span(int from, int to)
{
    QList<int> list;
    for (int n = from; n <= to; ++n)
        list << n;
    return list;
}

}
