#ifndef MARKER_BOOK_H
#define MARKER_BOOK_H

#include "play/marker_store.h"

#include <QList>
#include <QObject>
#include <QString>

class Player;
class RecordingIndex;
class RecordingSession;

// The markers of the recording a front end works on (the one open, or the
// temporary recording while it grows), written beside it at every change.
// Every front end edits through the same book, and hears of each change.
class MarkerBook : public QObject
{
    Q_OBJECT

public:
    struct Opened {
        MarkerStore::ReadResult read;
        QList<Marker> dropped; // for frames the recording does not hold
    };

    explicit MarkerBook(QObject *parent = nullptr);

    // Takes the markers beside `recordingPath`, less those `index` does not
    // hold; what could not be read is in the result, for a warning. Dropped
    // markers stay in the file until the next change.
    Opened open(const QString &recordingPath, const RecordingIndex &index);
    // A recording that starts now: no markers, and none left beside it.
    void startFresh(const QString &recordingPath);
    // Markers for a recording that will lie at `recordingPath`: none yet, nothing on disk touched.
    void attach(const QString &recordingPath);
    // Writes the markers again, e.g. after the recording replaced a file that had others.
    void rewrite();
    void close();
    // The recording was saved elsewhere and its markers went with it.
    void follow(const QString &recordingPath) { path = recordingPath; }

    QString recordingPath() const { return path; }
    const QList<Marker> &markers() const { return list; }

    // Adds a marker at `frame` with the first unused label; its position, or -1 without a recording.
    qsizetype add(int frame);
    // Where the window's Add marker puts one: the newest frame received while
    // recording, else the frame the player is at, else `shownFrame`.
    static int frameToMark(const RecordingSession &session, const Player &player, int shownFrame);
    qsizetype markHere(const RecordingSession &session, const Player &player, int shownFrame);

    bool setLabel(qsizetype position, const QString &label);
    bool remove(qsizetype position);

    // The frame of the first marker after / the last before `frame`; -1 when none.
    int nextAfter(int frame) const;
    int previousBefore(int frame) const;

signals:
    void changed();
    // A change could not be written; the book keeps it.
    void writeFailed(const QString &marksPath, const QString &reason);

private:
    void store();

    QString path;
    QList<Marker> list;
};

#endif
