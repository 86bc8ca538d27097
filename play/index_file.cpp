#include "play/index_file.h"

#include "play/index_tables.h"

#include <QSaveFile>

#include <cstring>
#include <new>

namespace {

constexpr char Magic[8] = {'K', 'V', 'R', 'I', 'D', 'X', '\r', '\n'};
constexpr quint32 Version = 1;
constexpr int Listed = 10;

quint64 mix(quint64 lane, quint64 word)
{
    lane ^= word * 0x9E3779B97F4A7C15ull;
    return ((lane << 27) | (lane >> 37)) * 0x94D049BB133111EBull + 1;
}

// Fixed-size head of the file; every part of the file is a whole number of
// 8-byte words, which the checksum runs over.
struct Header {
    char magic[8];
    quint32 version;
    quint32 headerSize;
    qint64 recordingSize;
    qint64 recordingModifiedNs;
    qint32 first;
    qint32 last;
    qint32 hasPreamble;
    qint32 duplicateCount;
    qint64 preambleOffset;
    qint64 preambleLength;
    qint64 dataEnd;
    qint64 slotCount;
    qint64 runCount;
    qint64 cutCount;
    qint32 duplicatesListed[Listed];
    qint32 listedCount;
    qint32 reserved;
};
static_assert(sizeof(Header) % 8 == 0, "the checksum runs over whole words");
static_assert(sizeof(IndexTables::Run) == 8 && sizeof(IndexTables::CutEnd) == 16, "stored as they are in memory");

// `data` is the whole index file of `fileSize` bytes, mapped; the tables
// borrow its frame arrays instead of copying them.
bool readTables(const char *data, qint64 fileSize, const FileAccess::Facts &recording, IndexTables &t)
{
    Header h;
    if (fileSize < qint64(sizeof h) + 8)
        return false;
    std::memcpy(&h, data, sizeof h);
    if (std::memcmp(h.magic, Magic, sizeof Magic) != 0 || h.version != Version || h.headerSize != sizeof h
        || h.recordingSize != recording.size || h.recordingModifiedNs != recording.modifiedNs)
        return false;
    // The counts must account for the file's size exactly before anything is allocated.
    const qint64 room = fileSize - qint64(sizeof h) - 8;
    // Every frame takes at least its "fr " in the recording.
    if (h.slotCount < 0 || h.runCount < 0 || h.cutCount < 0 || h.slotCount > room / 16 || h.runCount > room / 8
        || h.cutCount > room / 16 || h.slotCount * 16 + h.runCount * 8 + h.cutCount * 16 != room
        || h.slotCount > recording.size / 3 || h.runCount > h.slotCount || h.cutCount > h.slotCount
        || h.listedCount < 0 || h.listedCount > Listed)
        return false;
    IndexFile::Checksum sum;
    sum.add(data, fileSize - 8);
    quint64 stored;
    std::memcpy(&stored, data + fileSize - 8, 8);
    if (stored != sum.value())
        return false;
    t.first = h.first;
    t.last = h.last;
    t.hasPreamble = h.hasPreamble != 0;
    t.duplicateCount = h.duplicateCount;
    t.preambleOffset = h.preambleOffset;
    t.preambleLength = h.preambleLength;
    t.dataEnd = h.dataEnd;
    t.duplicatesListed = QList<int>(h.duplicatesListed, h.duplicatesListed + h.listedCount);
    // Every part is a whole number of 8-byte words after a header of such words,
    // so the arrays sit aligned in the page-aligned mapping.
    const char *at = data + sizeof h;
    const auto *runs = reinterpret_cast<const IndexTables::Run *>(at);
    t.runs.assign(runs, runs + h.runCount);
    at += h.runCount * 8;
    const auto *cuts = reinterpret_cast<const IndexTables::CutEnd *>(at);
    t.cutEnds.assign(cuts, cuts + h.cutCount);
    at += h.cutCount * 16;
    t.offsets.borrow(reinterpret_cast<const qint64 *>(at), h.slotCount);
    at += h.slotCount * 8;
    t.stamps.borrow(reinterpret_cast<const double *>(at), h.slotCount);
    return t.isConsistent(recording.size);
}

}

namespace IndexFile {

void Checksum::add(const void *data, qint64 bytes)
{
    const char *p = static_cast<const char *>(data);
    const qint64 words = bytes / 8;
    qint64 i = 0;
    for (; i < words && next != 0; ++i, next = (next + 1) & 3) {
        quint64 word;
        std::memcpy(&word, p + 8 * i, 8);
        lanes[next] = mix(lanes[next], word);
    }
    for (; i + 4 <= words; i += 4) {
        quint64 word[4];
        std::memcpy(word, p + 8 * i, 32);
        for (int k = 0; k < 4; ++k)
            lanes[k] = mix(lanes[k], word[k]);
    }
    for (; i < words; ++i, next = (next + 1) & 3) {
        quint64 word;
        std::memcpy(&word, p + 8 * i, 8);
        lanes[next] = mix(lanes[next], word);
    }
}

quint64 Checksum::value() const
{
    return mix(mix(mix(lanes[0], lanes[1]), lanes[2]), lanes[3]);
}

bool read(const QString &path, const FileAccess::Facts &recording, IndexTables &tables)
{
    const int fd = FileAccess::openForReading(path, nullptr);
    if (fd < 0)
        return false;
    FileAccess::Facts facts;
    // Mapped, not read: copying ~16 bytes per frame into fresh memory costs far
    // more than checking them where the page cache holds them. Index files are
    // only ever replaced by renaming, so the mapped one stays whole.
    const char *data = FileAccess::facts(fd, facts, nullptr) && facts.regular && facts.size > 0
                           ? FileAccess::mapFile(fd, facts.size)
                           : nullptr;
    FileAccess::closeFile(fd);
    if (!data)
        return false;
    tables.mapping = std::unique_ptr<const char, IndexFileMapping>(data, IndexFileMapping{facts.size});
    try {
        return readTables(data, facts.size, recording, tables);
    } catch (const std::bad_alloc &) {
        // Ignored like a damaged one; the scan that follows reports it if memory is really short.
        return false;
    }
}

bool write(const QString &path, const FileAccess::Facts &recording, const IndexTables &t)
{
    Header h;
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.magic, Magic, sizeof Magic);
    h.version = Version;
    h.headerSize = sizeof h;
    h.recordingSize = recording.size;
    h.recordingModifiedNs = recording.modifiedNs;
    h.first = t.first;
    h.last = t.last;
    h.hasPreamble = t.hasPreamble;
    h.duplicateCount = t.duplicateCount;
    h.preambleOffset = t.preambleOffset;
    h.preambleLength = t.preambleLength;
    h.dataEnd = t.dataEnd;
    h.slotCount = t.slotCount();
    h.runCount = qint64(t.runs.size());
    h.cutCount = qint64(t.cutEnds.size());
    h.listedCount = qint32(qMin(t.duplicatesListed.size(), qsizetype(Listed)));
    for (int i = 0; i < h.listedCount; ++i)
        h.duplicatesListed[i] = t.duplicatesListed[i];

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    Checksum sum;
    bool ok = true;
    const auto put = [&](const void *data, qint64 bytes) {
        if (bytes == 0)
            return;
        sum.add(data, bytes);
        ok = ok && file.write(static_cast<const char *>(data), bytes) == bytes;
    };
    put(&h, sizeof h);
    put(t.runs.data(), h.runCount * 8);
    put(t.cutEnds.data(), h.cutCount * 16);
    for (qsizetype c = 0; c < t.offsets.chunkCount(); ++c)
        put(t.offsets.chunkData(c), t.offsets.chunkLength(c) * 8);
    for (qsizetype c = 0; c < t.stamps.chunkCount(); ++c)
        put(t.stamps.chunkData(c), t.stamps.chunkLength(c) * 8);
    const quint64 value = sum.value();
    put(&value, 8);
    return ok && file.commit();
}

}
