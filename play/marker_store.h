#ifndef MARKER_STORE_H
#define MARKER_STORE_H

// Markers of a recording, kept beside it as FILE.wly.marks: UTF-8 text, the
// line "# korvel-markers 1", then one "FRAME<TAB>LABEL" a line. The recording
// itself is never touched; the marks file is replaced whole by a rename at
// every change, so a reader never sees half of one.

#include <QList>
#include <QString>

class RecordingIndex;

struct Marker {
    int frame = 0;
    QString label;
    bool operator==(const Marker &other) const { return frame == other.frame && label == other.label; }
};

namespace MarkerStore {

// Larger marks files are refused rather than read: no recording has that many moments.
constexpr qint64 MaxFileBytes = qint64(16) << 20;

struct ReadResult {
    enum Status {
        Absent,     // no marks file: no markers
        Read,       // every line read
        Damaged,    // some lines did not read; the good ones are in `markers`
        Unreadable  // the file exists but could not be read at all
    };
    Status status = Absent;
    QList<Marker> markers; // in frame order
    int badLine = 0;       // the first line that did not read, from 1
    QString badText;       // that line, shortened for a message
    QString reason;        // why an unreadable file could not be read
};

QString pathFor(const QString &recordingPath);

ReadResult read(const QString &marksPath);
// Writes beside the name, then renames; no markers removes the file. False with `*reason`.
bool write(const QString &marksPath, const QList<Marker> &markers, QString *reason);

// Drops the markers for frames `index` does not hold and returns them.
QList<Marker> dropMissing(QList<Marker> &markers, const RecordingIndex &index);

// A label as stored: tabs and line ends become spaces.
QString cleanLabel(const QString &label);
// The first unused of "M1", "M2", ...
QString nextLabel(const QList<Marker> &markers);
// Inserts in frame order after any marker of the same frame; returns its position.
qsizetype insert(QList<Marker> &markers, const Marker &marker);
// The position of the first marker labelled `label`, or -1.
qsizetype find(const QList<Marker> &markers, const QString &label);

// The recording and its markers travel as one.
// Renames the source's marks onto the target's; 0 or errno.
int renameMarks(const QString &sourceRecording, const QString &targetRecording);
// The source's markers as the target's; none when the source has none.
bool copyBeside(const QString &sourceRecording, const QString &targetRecording, QString *reason);
void removeMarks(const QString &recordingPath);
// Removes the recording and its markers; false when the recording stays.
bool removePair(const QString &recordingPath);

}

#endif
