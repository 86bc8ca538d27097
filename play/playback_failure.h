#ifndef PLAYBACK_FAILURE_H
#define PLAYBACK_FAILURE_H

#include "play/destination.h"

#include <QString>

// Why a playback ended early; the player is then Idle.
struct PlaybackFailure {
    enum Kind { SendFailed, RecordingUnreadable };

    Kind kind = SendFailed;
    int destinationNumber = 0; // 1 or 2 when a send failed, else 0
    Destination destination;   // when a send failed
    QString reason;

    // What each front end shows of one failure of playing `path`: the window's
    // box text, and the command line's line (without its program prefix).
    struct Texts {
        QString window;
        QString commandLine;
    };
    Texts texts(const QString &path) const;

    // Why a send failed: `udpResult` as the send returned it, `error` the errno after it.
    static QString sendReason(int udpResult, int error);
};

#endif
