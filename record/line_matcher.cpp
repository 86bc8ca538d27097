#include "record/line_matcher.h"

#include <QStringView>

LineMatcher::LineMatcher(const QRegularExpression &pattern, int largestDatagram) : pattern(pattern)
{
    // Compiled now, not at the first datagram.
    this->pattern.optimize();
    text.reserve(largestDatagram);
}

bool LineMatcher::matches(const char *datagram, int length)
{
    // Within the reserved capacity a resize never allocates.
    text.resize(length);
    QChar *characters = text.data();
    for (int i = 0; i < length; ++i)
        characters[i] = QChar(uchar(datagram[i]));
    const QStringView whole(characters, length);
    qsizetype start = 0;
    while (start < length) {
        qsizetype end = whole.indexOf(QLatin1Char('\n'), start);
        const qsizetype next = end < 0 ? length : end + 1;
        if (end < 0)
            end = length;
        if (end > start && whole[end - 1] == QLatin1Char('\r'))
            --end;
        if (pattern.match(whole.sliced(start, end - start)).hasMatch())
            return true;
        start = next;
    }
    return false;
}
