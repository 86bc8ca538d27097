#ifndef FRAME_INDEX_H
#define FRAME_INDEX_H

#include <QByteArray>
#include <QString>

#include <vector>

// The text of every frame of a loaded recording, one entry per frame number
// from the first on, empty for lost frames. Texts are kept as Latin-1 bytes in
// one block, and each entry remembers where its frame line starts in the file.
// Lost frames take no storage, so a wild jump in the frame numbers of a damaged
// file cannot exhaust memory.
class FrameIndex
{
public:
    void clear();
    int count() const;

    // Room for `textBytes` bytes of frame text, so that loading never copies the block.
    void reserve(qsizetype textBytes);

    // Appends a frame's text (lines with LF ends); `fileOffset` is the byte
    // position of its frame line in the file, or -1 when it has none.
    void append(const char *text, qsizetype length, qint64 fileOffset);
    void appendLost();
    // `lostCount` entries at once; count() + lostCount must stay within int.
    void appendLost(int lostCount);

    // Entry k; an empty text outside 0 .. count()-1.
    QString text(int k) const;
    // File position of entry k's frame line; -1 for lost frames, a frame
    // without frame line, or k outside the index.
    qint64 fileOffset(int k) const;

    // Gives back growth slack once loading is done.
    void squeeze();

private:
    // A stretch of consecutive stored entries; the entries between two runs are lost.
    struct Run {
        int firstEntry;
        qsizetype firstSlot;
    };

    qsizetype storedCount() const;
    // Slot in `textStarts`/`fileOffsets` of entry k, -1 when k is lost or outside.
    qsizetype slotOf(int k) const;

    QByteArray texts;
    std::vector<qint64> textStarts; // storedCount()+1 bounds into `texts`
    std::vector<qint64> fileOffsets;
    std::vector<Run> runs;
    int entries = 0;
};

#endif
