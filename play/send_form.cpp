#include "play/send_form.h"

const QByteArray &SendForm::datagram(QByteArrayView raw)
{
    buffer.truncate(0);
    for (qsizetype start = 0; start < raw.size();) {
        qsizetype lf = raw.indexOf('\n', start);
        if (lf < 0)
            lf = raw.size();
        const QByteArrayView line = raw.sliced(start, lf - start).trimmed();
        if (!line.startsWith('#')) {
            buffer.append(line.data(), line.size());
            buffer.append("\r\n", 2);
        }
        start = lf + 1;
    }
    return buffer;
}

QString SendForm::displayText(QByteArrayView raw)
{
    QString text = QString::fromLatin1(raw);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}
