#ifndef SEND_FORM_H
#define SEND_FORM_H

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Turns a frame's bytes as stored into what playback sends and what the view shows.
class SendForm
{
public:
    // Every line but comments (first non-blank character '#'), trimmed and
    // ended with CR LF; a last line without LF counts. The result lives in
    // storage reused from call to call and stays valid until the next call.
    const QByteArray &datagram(QByteArrayView raw);

    // The bytes as Latin-1 text with CR LF read as LF; a lone CR is data.
    static QString displayText(QByteArrayView raw);

private:
    QByteArray buffer;
};

#endif
