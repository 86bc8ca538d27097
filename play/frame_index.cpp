#include "play/frame_index.h"

#include <algorithm>

void FrameIndex::clear()
{
    // Swapping with empty storage gives the memory of a large recording back at once.
    texts = QByteArray();
    std::vector<qint64>().swap(textStarts);
    std::vector<qint64>().swap(fileOffsets);
    std::vector<Run>().swap(runs);
    entries = 0;
}

int FrameIndex::count() const
{
    return entries;
}

void FrameIndex::reserve(qsizetype textBytes)
{
    texts.reserve(textBytes);
}

qsizetype FrameIndex::storedCount() const
{
    return qsizetype(fileOffsets.size());
}

void FrameIndex::append(const char *text, qsizetype length, qint64 fileOffset)
{
    const qsizetype slot = storedCount();
    if (runs.empty() || runs.back().firstEntry + (slot - runs.back().firstSlot) != entries)
        runs.push_back({entries, slot});
    if (textStarts.empty())
        textStarts.push_back(0);
    texts.append(text, length);
    textStarts.push_back(texts.size());
    fileOffsets.push_back(fileOffset);
    ++entries;
}

void FrameIndex::appendLost()
{
    appendLost(1);
}

void FrameIndex::appendLost(int lostCount)
{
    if (lostCount > 0)
        entries += lostCount;
}

qsizetype FrameIndex::slotOf(int k) const
{
    if (k < 0 || k >= entries || runs.empty())
        return -1;
    auto run = std::upper_bound(runs.begin(), runs.end(), k,
                                [](int entry, const Run &r) { return entry < r.firstEntry; });
    if (run == runs.begin())
        return -1;
    const qsizetype runEnd = run == runs.end() ? storedCount() : run->firstSlot;
    --run;
    const qsizetype slot = run->firstSlot + (k - run->firstEntry);
    return slot < runEnd ? slot : -1;
}

QString FrameIndex::text(int k) const
{
    const qsizetype slot = slotOf(k);
    if (slot < 0)
        return QString();
    const qint64 start = textStarts[size_t(slot)];
    return QString::fromLatin1(texts.constData() + start, textStarts[size_t(slot) + 1] - start);
}

qint64 FrameIndex::fileOffset(int k) const
{
    const qsizetype slot = slotOf(k);
    return slot < 0 ? -1 : fileOffsets[size_t(slot)];
}

void FrameIndex::squeeze()
{
    texts.squeeze();
    textStarts.shrink_to_fit();
    fileOffsets.shrink_to_fit();
    runs.shrink_to_fit();
}
