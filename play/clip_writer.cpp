#include "play/clip_writer.h"

#include "platform/file_access.h"
#include "platform/file_write.h"
#include "play/recording_index.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <vector>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Korvel_recorder", text);
}

struct Span {
    qint64 offset;
    qint64 length;
};

}

ClipResult ClipWriter::write(const RecordingIndex &index, int from, int until, const QList<Marker> &markers,
                             const QString &target, const std::atomic<bool> *cancel)
{
    ClipResult result;
    from = std::max(from, index.first());
    until = std::min(until, index.last());
    std::vector<Span> spans;
    result.frames = index.forEachSpan(from, until, [&spans](qint64 offset, qint64 length) {
        spans.push_back({offset, length});
    });
    if (result.frames == 0) {
        result.reason = tr("No frame from %1 to %2 is stored.").arg(from).arg(until);
        return result;
    }
    result.first = index.contains(from) ? from : index.nextFrame(from);
    result.last = index.contains(until) ? until : index.previousFrame(until);

    if (QFileInfo(target).absoluteFilePath() == QFileInfo(index.path()).absoluteFilePath()
        || (QFileInfo::exists(target) && QFileInfo(target).canonicalFilePath() == QFileInfo(index.path()).canonicalFilePath())) {
        result.status = ClipResult::WriteFailed;
        result.reason = tr("%1 is the recording itself; choose another name.").arg(target);
        return result;
    }

    // A fresh descriptor of our own: the index's serves readers in other threads.
    const int source = FileAccess::openForReading(index.path(), &result.reason);
    FileAccess::Facts now;
    if (source < 0 || !FileAccess::facts(source, now, &result.reason)) {
        FileAccess::closeFile(source);
        result.status = ClipResult::ReadFailed;
        return result;
    }
    if (now.size != index.fileFacts().size || now.modifiedNs != index.fileFacts().modifiedNs) {
        FileAccess::closeFile(source);
        result.status = ClipResult::ReadFailed;
        result.reason = tr("The file changed while it was read.");
        return result;
    }

    result.status = ClipResult::WriteFailed;
    FileWrite::Pending pending;
    bool copied = FileWrite::begin(target, pending, &result.reason);
    for (size_t i = 0; copied && i < spans.size(); ++i) {
        if (cancel && cancel->load()) {
            result.status = ClipResult::Cancelled;
            result.reason = QStringLiteral("cancelled");
            copied = false;
        } else if (!FileWrite::appendRange(pending, source, spans[i].offset, spans[i].length, &result.reason)) {
            copied = false;
        } else {
            result.bytes += spans[i].length;
        }
    }
    FileAccess::closeFile(source);
    if (!copied) {
        FileWrite::abandon(pending);
        return result;
    }
    if (!FileWrite::commit(pending, &result.reason))
        return result;
    QList<Marker> inside;
    for (const Marker &marker : markers) {
        if (marker.frame >= from && marker.frame <= until)
            inside << marker;
    }
    QString why;
    if (!MarkerStore::write(MarkerStore::pathFor(target), inside, &why)) {
        // Markers of a recording the clip replaced must not stay beside it.
        FileWrite::removeFile(MarkerStore::pathFor(target));
        result.reason = tr("The markers could not be written beside %1: %2").arg(target, why);
        return result;
    }
    result.status = ClipResult::Written;
    result.markers = int(inside.size());
    return result;
}
