#ifndef MARKER_CONTROLLER_H
#define MARKER_CONTROLLER_H

#include "play/clip_writer.h"
#include "ui_korvel_recorder.h"

#include <QObject>
#include <QString>

#include <memory>
#include <thread>

class MarkerBook;
class PlaybackControls;
class Player;
class RecordingIndex;
class RecordingSession;

// The window's Markers menu, the ticks on the slider and File -> Export range:
// the commands go to the marker book and the clip writer; moving to a marker
// is the window's, as Go to frame is.
class MarkerController : public QObject
{
    Q_OBJECT

public:
    MarkerController(Ui::mw_korvel_recorder &ui, MarkerBook *book, const RecordingSession *session,
                     const Player *player, PlaybackControls *controls, QMainWindow *window);
    ~MarkerController() override; // waits for an export under way

    MarkerBook *book() const { return markers; }
    // A recording was opened: its markers, after a box about any that could not be read or are for missing frames.
    void open(const QString &path, std::shared_ptr<const RecordingIndex> recording);
    // The window's state, for the enabling of the four actions.
    void updateControls(bool recording, bool markable, bool positionable, bool exportable);
    bool isExporting() const { return exporting; }
    // Where M puts it, labelled `label` when given; its position in the book, or -1
    // (after a word in the status bar) when no frame was received yet.
    qsizetype addMarker(const QString &label = {});

signals:
    void goToFrame(int frame);
    // An export ended; the window updates its controls.
    void exportEnded();

private:
    void moveToMarker(int direction);
    void exportRange();
    void exportFinished(const QString &target, const ClipResult &result);
    void showTicks();

    Ui::mw_korvel_recorder &ui;
    QMainWindow *window;
    MarkerBook *markers;
    const RecordingSession *session;
    const Player *player;
    PlaybackControls *controls;
    std::shared_ptr<const RecordingIndex> index;
    std::thread exporter;
    bool exporting = false;
};

#endif
