#include "play/marker_store.h"

#include "platform/file_access.h"
#include "platform/file_write.h"
#include "play/recording_index.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const QByteArray header = QByteArrayLiteral("# korvel-markers 1");
constexpr int ShownBadText = 60;

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool parseLine(QByteArrayView line, Marker &marker)
{
    const qsizetype tab = line.indexOf('\t');
    if (tab <= 0)
        return false;
    const QByteArrayView number = line.first(tab);
    // Digits only: no sign, no blanks, nothing a reader would take for another frame.
    if (number.size() > 10 || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    bool ok = false;
    const qint64 frame = number.toLongLong(&ok);
    if (!ok || frame > std::numeric_limits<int>::max())
        return false;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString label = utf8(line.sliced(tab + 1));
    if (utf8.hasError())
        return false;
    marker = {int(frame), MarkerStore::cleanLabel(label)};
    return true;
}

void noteBad(MarkerStore::ReadResult &result, int lineNumber, QByteArrayView line)
{
    if (result.badLine != 0)
        return;
    result.status = MarkerStore::ReadResult::Damaged;
    result.badLine = lineNumber;
    result.badText = QString::fromUtf8(line.first(qMin<qsizetype>(line.size(), ShownBadText)));
}

}

namespace MarkerStore {

QString pathFor(const QString &recordingPath)
{
    return recordingPath + QLatin1String(".marks");
}

ReadResult read(const QString &marksPath)
{
    ReadResult result;
    QString reason;
    const int fd = FileAccess::openForReading(marksPath, &reason);
    if (fd < 0) {
        if (QFile::exists(marksPath)) {
            result.status = ReadResult::Unreadable;
            result.reason = reason;
        }
        return result;
    }
    FileAccess::Facts facts;
    QByteArray text;
    if (!FileAccess::facts(fd, facts, &reason)) {
        result.status = ReadResult::Unreadable;
    } else if (!facts.regular) {
        result.status = ReadResult::Unreadable;
        reason = FileAccess::kindText(fd);
    } else if (facts.size > MaxFileBytes) {
        result.status = ReadResult::Unreadable;
        reason = QStringLiteral("larger than %1 bytes").arg(MaxFileBytes);
    } else {
        text.resize(facts.size);
        if (!FileAccess::readAt(fd, text.data(), text.size(), 0)) {
            result.status = ReadResult::Unreadable;
            reason = QStringLiteral("it could not be read whole");
        }
    }
    FileAccess::closeFile(fd);
    if (result.status == ReadResult::Unreadable) {
        result.reason = reason;
        return result;
    }

    result.status = ReadResult::Read;
    int lineNumber = 0;
    for (QByteArrayView rest(text); !rest.isEmpty();) {
        const qsizetype end = rest.indexOf('\n');
        QByteArrayView line = end < 0 ? rest : rest.first(end);
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        ++lineNumber;
        if (line.endsWith('\r'))
            line.chop(1);
        if (lineNumber == 1) {
            if (line != header)
                noteBad(result, lineNumber, line);
            continue;
        }
        if (line.isEmpty())
            continue;
        Marker marker;
        if (parseLine(line, marker))
            insert(result.markers, marker);
        else
            noteBad(result, lineNumber, line);
    }
    if (lineNumber == 0)
        noteBad(result, 1, QByteArrayView());
    return result;
}

bool write(const QString &marksPath, const QList<Marker> &markers, QString *reason)
{
    if (markers.isEmpty()) {
        const int error = FileWrite::removeFile(marksPath);
        if (error == 0 || error == ENOENT)
            return true;
        *reason = systemReason(error);
        return false;
    }
    QByteArray text = header + '\n';
    for (const Marker &marker : markers)
        text += QByteArray::number(marker.frame) + '\t' + cleanLabel(marker.label).toUtf8() + '\n';
    // Written at every change, often while recording: a sync each time would
    // cost more than the markers are worth after a crash of the whole system.
    return FileWrite::replace(marksPath, text, reason, false);
}

QList<Marker> dropMissing(QList<Marker> &markers, const RecordingIndex &index)
{
    QList<Marker> dropped;
    const auto held = [&index](const Marker &marker) {
        return index.contains(marker.frame);
    };
    for (const Marker &marker : std::as_const(markers)) {
        if (!held(marker))
            dropped << marker;
    }
    if (!dropped.isEmpty())
        markers.removeIf([&held](const Marker &marker) { return !held(marker); });
    return dropped;
}

QString cleanLabel(const QString &label)
{
    QString clean = label;
    for (QChar &c : clean) {
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    }
    return clean;
}

QString nextLabel(const QList<Marker> &markers)
{
    // Only "M<n>" labels can collide; the first gap among them is the answer.
    std::vector<bool> used(size_t(markers.size()) + 2, false);
    for (const Marker &marker : markers) {
        if (!marker.label.startsWith(QLatin1Char('M')))
            continue;
        bool ok = false;
        const qsizetype n = marker.label.mid(1).toLongLong(&ok);
        if (ok && n > 0 && n < qsizetype(used.size()) && marker.label == QLatin1Char('M') + QString::number(n))
            used[size_t(n)] = true;
    }
    size_t n = 1;
    while (used[n])
        ++n;
    return QLatin1Char('M') + QString::number(n);
}

qsizetype insert(QList<Marker> &markers, const Marker &marker)
{
    const auto at = std::upper_bound(markers.begin(), markers.end(), marker.frame,
                                     [](int frame, const Marker &m) { return frame < m.frame; });
    const qsizetype position = at - markers.begin();
    markers.insert(position, marker);
    return position;
}

qsizetype find(const QList<Marker> &markers, const QString &label)
{
    for (qsizetype i = 0; i < markers.size(); ++i) {
        if (markers[i].label == label)
            return i;
    }
    return -1;
}

int renameMarks(const QString &sourceRecording, const QString &targetRecording)
{
    return FileWrite::renameOnto(pathFor(sourceRecording), pathFor(targetRecording));
}

void removeMarks(const QString &recordingPath)
{
    FileWrite::removeFile(pathFor(recordingPath));
}

bool copyBeside(const QString &sourceRecording, const QString &targetRecording, QString *reason)
{
    const ReadResult source = read(pathFor(sourceRecording));
    if (source.status == ReadResult::Unreadable) {
        *reason = source.reason;
        return false;
    }
    return write(pathFor(targetRecording), source.markers, reason);
}

bool removePair(const QString &recordingPath)
{
    const int error = FileWrite::removeFile(recordingPath);
    if (error != 0 && error != ENOENT)
        return false;
    removeMarks(recordingPath);
    return true;
}

}
