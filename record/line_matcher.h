#ifndef LINE_MATCHER_H
#define LINE_MATCHER_H

#include <QRegularExpression>
#include <QString>

// Tells whether a datagram has a line that a regular expression matches. The
// receiving thread asks for every datagram, so the datagram's text goes into
// storage reserved up front and each line is matched in place.
class LineMatcher
{
public:
    // `largestDatagram`: the storage reserved for a datagram's text.
    LineMatcher(const QRegularExpression &pattern, int largestDatagram);

    // The datagram is Latin-1; its lines end in LF, CR LF or at its end.
    bool matches(const char *datagram, int length);

private:
    QRegularExpression pattern;
    QString text;
};

#endif
