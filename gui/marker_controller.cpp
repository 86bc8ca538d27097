#include "gui/marker_controller.h"

#include "gui/dialogs/message_box.h"
#include "gui/playback_controls.h"
#include "play/marker_book.h"
#include "play/recording_index.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMetaObject>

#include <vector>

MarkerController::MarkerController(Ui::mw_korvel_recorder &ui, MarkerBook *book, const RecordingSession *session,
                                   const Player *player, PlaybackControls *controls, QMainWindow *window)
    : QObject(window), ui(ui), window(window), markers(book), session(session), player(player), controls(controls)
{
    connect(ui.actionAddMarker, &QAction::triggered, this, [this] { addMarker(); });
    connect(ui.actionNextMarker, &QAction::triggered, this, [this] { moveToMarker(+1); });
    connect(ui.actionPreviousMarker, &QAction::triggered, this, [this] { moveToMarker(-1); });
    connect(ui.actionExportRange, &QAction::triggered, this, &MarkerController::exportRange);
    connect(markers, &MarkerBook::changed, this, &MarkerController::showTicks);
    connect(markers, &MarkerBook::writeFailed, this, [this](const QString &path, const QString &reason) {
        showMessage(this->window, QMessageBox::Warning, tr("Markers"),
                    tr("The markers could not be written to %1: %2\nThey are kept while the recording is open.")
                        .arg(path, reason));
    });
}

MarkerController::~MarkerController()
{
    if (exporter.joinable())
        exporter.join();
}

void MarkerController::open(const QString &path, std::shared_ptr<const RecordingIndex> recording)
{
    index = std::move(recording);
    const MarkerBook::Opened opened = markers->open(path, *index);
    QStringList problems;
    const MarkerStore::ReadResult &read = opened.read;
    if (read.status == MarkerStore::ReadResult::Unreadable)
        problems << tr("%1 cannot be read: %2").arg(MarkerStore::pathFor(path), read.reason);
    else if (read.status == MarkerStore::ReadResult::Damaged)
        problems << tr("Line %1 of %2 is not a marker: \"%3\". The other lines are kept.")
                        .arg(read.badLine)
                        .arg(MarkerStore::pathFor(path), read.badText);
    if (!opened.dropped.isEmpty()) {
        QStringList dropped;
        for (const Marker &marker : opened.dropped.first(qMin<qsizetype>(opened.dropped.size(), 10)))
            dropped << tr("%1 (frame %2)").arg(marker.label).arg(marker.frame);
        if (opened.dropped.size() > 10)
            dropped << QStringLiteral("...");
        problems << tr("%n marker(s) for frames the recording does not hold are left out: %1", nullptr,
                       int(opened.dropped.size()))
                        .arg(dropped.join(QLatin1String(", ")));
    }
    if (!problems.isEmpty())
        showMessage(window, QMessageBox::Warning, tr("Markers"), problems.join(QLatin1Char('\n')));
}

void MarkerController::updateControls(bool recording, bool markable, bool positionable, bool exportable)
{
    ui.actionAddMarker->setEnabled(recording || markable);
    ui.actionNextMarker->setEnabled(positionable);
    ui.actionPreviousMarker->setEnabled(positionable);
    ui.actionExportRange->setEnabled(exportable && !exporting);
}

qsizetype MarkerController::addMarker(const QString &label)
{
    const qsizetype position = markers->markHere(*session, *player, ui.playSlider->value());
    if (position < 0) {
        ui.statusbar->showMessage(tr("No frame received yet: no marker added."), 3000);
        return position;
    }
    if (!label.isEmpty())
        markers->setLabel(position, label);
    const Marker &added = markers->markers().at(position);
    ui.statusbar->showMessage(tr("Marker %1 at frame %2").arg(added.label).arg(added.frame), 3000);
    return position;
}

void MarkerController::moveToMarker(int direction)
{
    const int shown = ui.playSlider->value();
    const int frame = direction > 0 ? markers->nextAfter(shown) : markers->previousBefore(shown);
    if (frame < 0)
        ui.statusbar->showMessage(direction > 0 ? tr("No marker after frame %1").arg(shown)
                                                : tr("No marker before frame %1").arg(shown),
                                  3000);
    else
        emit goToFrame(frame);
}

void MarkerController::exportRange()
{
    int from = index->first(), to = index->last();
    controls->range(&from, &to);
    const QFileInfo source(index->path());
    const QString suggested = source.absolutePath() + QLatin1Char('/') + source.completeBaseName()
                            + QStringLiteral("-%1-%2.wly").arg(from).arg(to);
    QString target = QFileDialog::getSaveFileName(window, tr("Export range"), suggested,
                                                  tr("Korvel Recorder files (*.wly)"));
    if (target.isEmpty())
        return;
    if (QFileInfo(target).suffix().isEmpty())
        target += QLatin1String(".wly");
    if (exporter.joinable())
        exporter.join();
    exporting = true;
    ui.actionExportRange->setEnabled(false);
    ui.statusbar->showMessage(tr("Exporting frames %1–%2 to %3…").arg(from).arg(to).arg(target));
    // Whole frames at copy speed, but still seconds for a large range: the window stays live meanwhile.
    exporter = std::thread([this, recording = index, from, to, list = markers->markers(), target] {
        const ClipResult result = ClipWriter::write(*recording, from, to, list, target);
        QMetaObject::invokeMethod(this, [this, target, result] { exportFinished(target, result); },
                                  Qt::QueuedConnection);
    });
}

void MarkerController::exportFinished(const QString &target, const ClipResult &result)
{
    exporting = false;
    ui.statusbar->clearMessage();
    if (result.status == ClipResult::Written)
        ui.statusbar->showMessage(tr("%n frame(s) exported to %1", nullptr, int(result.frames)).arg(target), 5000);
    else
        showMessage(window, QMessageBox::Warning, tr("Export range"),
                    tr("The range could not be exported to %1: %2").arg(target, result.reason));
    emit exportEnded();
}

void MarkerController::showTicks()
{
    std::vector<int> frames;
    frames.reserve(size_t(markers->markers().size()));
    for (const Marker &marker : markers->markers())
        frames.push_back(marker.frame);
    ui.playSlider->setMarkers(std::move(frames));
}
