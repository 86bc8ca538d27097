#include "record/recording_saver.h"

#include "platform/record_file.h"
#include "play/marker_store.h"

#include <QFileInfo>
#include <QMetaObject>

#include <cstring>

RecordingSaver::RecordingSaver(QObject *parent)
    : QObject(parent)
{
}

RecordingSaver::~RecordingSaver()
{
    cancel();
    join();
}

RecordingSaver::Result RecordingSaver::save(const QString &source, const QString &target, Mode mode,
                                            QString *reason)
{
    if (busy) {
        *reason = tr("A recording is being saved already.");
        return Refused;
    }
    const QFileInfo from(source), to(target);
    if (!from.isFile()) {
        *reason = tr("%1 does not exist any more.").arg(source);
        return Failed;
    }
    // Saving a recording onto itself would lose it: a rename is a no-op and the
    // caller then removes "the temporary copy"; a copy truncates its own source.
    if (from.absoluteFilePath() == to.absoluteFilePath()
        || (to.exists() && from.canonicalFilePath() == to.canonicalFilePath())) {
        *reason = tr("%1 is the recording itself; choose another name.").arg(target);
        return Refused;
    }
    // A FIFO or device would hang a copy or be replaced by a rename: neither is a recording's place.
    if (to.exists() && !to.isFile()) {
        *reason = tr("%1 is not a regular file; choose another name.").arg(target);
        return Refused;
    }
    if (mode == Move && RecordFile::sameFileSystem(source, to.absolutePath())) {
        // The markers go first, and come back when the recording cannot follow them;
        // a target replaced by a recording without markers loses the ones it had.
        const bool marked = QFileInfo::exists(MarkerStore::pathFor(source));
        int error = marked ? MarkerStore::renameMarks(source, target) : 0;
        if (error == 0) {
            error = RecordFile::moveInto(source, target);
            if (error == 0) {
                if (!marked)
                    MarkerStore::removeMarks(target);
                return Renamed;
            }
            if (marked)
                MarkerStore::renameMarks(target, source);
        }
        *reason = QString::fromLocal8Bit(std::strerror(error));
        return Failed;
    }

    join();
    busy = true;
    cancelled = false;
    worker = std::thread([this, source, target] {
        QString why;
        // The markers after the recording: a failed or cancelled copy leaves the target's as they were.
        const bool saved = RecordFile::copyInto(
                               source, target, &cancelled,
                               [this](qint64 done, qint64 total) {
                                   QMetaObject::invokeMethod(
                                       this, [this, done, total] { emit progress(done, total); },
                                       Qt::QueuedConnection);
                               },
                               &why)
                        && MarkerStore::copyBeside(source, target, &why);
        QMetaObject::invokeMethod(
            this,
            [this, saved, why] {
                busy = false;
                emit finished(saved, why);
            },
            Qt::QueuedConnection);
    });
    return Copying;
}

bool RecordingSaver::isBusy() const
{
    return busy;
}

void RecordingSaver::cancel()
{
    cancelled = true;
}

void RecordingSaver::join()
{
    if (worker.joinable())
        worker.join();
}
