#include "play/index_file.h"

#include "play/index_tables.h"

#include <cstring>
#include <new>

namespace {

constexpr char Magic[8] = {'K', 'V', 'R', 'I', 'D', 'X', '\r', '\n'};
// 2: the recording's change time and inode joined its size and modification time.
constexpr quint32 Version = 2;
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
    qint64 recordingChangedNs;
    quint64 recordingInode;
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

// Reads what follows the header in bounded reads, summing as it goes: a file
// cut or rewritten meanwhile gives a short read or a wrong sum, never a fault.
class Reader
{
public:
    explicit Reader(int fd) : fd(fd) {}

    bool read(void *data, qint64 bytes)
    {
        if (bytes == 0)
            return true;
        if (!FileAccess::readAt(fd, static_cast<char *>(data), bytes, at))
            return false;
        at += bytes;
        sum.add(data, bytes);
        return true;
    }

    template <typename T>
    bool readArray(ChunkedArray<T> &array, qint64 count)
    {
        return array.appendFilled(count, [this](T *values, qsizetype n) { return read(values, n * qint64(sizeof(T))); });
    }

    bool checksumMatches()
    {
        quint64 stored;
        return FileAccess::readAt(fd, reinterpret_cast<char *>(&stored), 8, at) && stored == sum.value();
    }

private:
    int fd;
    qint64 at = 0;
    IndexFile::Checksum sum;
};

bool sameRecording(const Header &h, const FileAccess::Facts &recording)
{
    return h.recordingSize == recording.size && h.recordingModifiedNs == recording.modifiedNs
        && h.recordingChangedNs == recording.changedNs && h.recordingInode == recording.inode;
}

// Defence in depth against a recording edited in ways its facts do not show:
// the first, the last and a few frames between must start with their frame line.
bool sampledFramesStart(int recordingFd, const IndexTables &t)
{
    constexpr qsizetype Between = 6;
    const qsizetype slotTotal = t.slotCount();
    if (slotTotal == 0)
        return true;
    for (qsizetype k = 0; k <= Between + 1; ++k) {
        const qsizetype slot = k == 0 ? 0 : k == Between + 1 ? slotTotal - 1 : k * slotTotal / (Between + 1);
        char lead[3];
        if (!FileAccess::readAt(recordingFd, lead, 3, t.offsets.at(slot))
            || std::memcmp(lead, "fr ", 3) != 0)
            return false;
    }
    return true;
}

bool readTables(int fd, qint64 fileSize, int recordingFd, const FileAccess::Facts &recording, IndexTables &t)
{
    Header h;
    Reader in(fd);
    if (fileSize < qint64(sizeof h) + 8 || !in.read(&h, sizeof h))
        return false;
    if (std::memcmp(h.magic, Magic, sizeof Magic) != 0 || h.version != Version || h.headerSize != sizeof h
        || !sameRecording(h, recording))
        return false;
    // The counts must account for the file's size exactly before anything is allocated.
    const qint64 room = fileSize - qint64(sizeof h) - 8;
    // Every frame takes at least its "fr " in the recording.
    if (h.slotCount < 0 || h.runCount < 0 || h.cutCount < 0 || h.slotCount > room / 16 || h.runCount > room / 8
        || h.cutCount > room / 16 || h.slotCount * 16 + h.runCount * 8 + h.cutCount * 16 != room
        || h.slotCount > recording.size / 3 || h.runCount > h.slotCount || h.cutCount > h.slotCount
        || h.listedCount < 0 || h.listedCount > Listed)
        return false;
    t.runs.resize(size_t(h.runCount));
    t.cutEnds.resize(size_t(h.cutCount));
    if (!in.read(t.runs.data(), h.runCount * 8) || !in.read(t.cutEnds.data(), h.cutCount * 16)
        || !in.readArray(t.offsets, h.slotCount) || !in.readArray(t.stamps, h.slotCount) || !in.checksumMatches())
        return false;
    t.first = h.first;
    t.last = h.last;
    t.hasPreamble = h.hasPreamble != 0;
    t.duplicateCount = h.duplicateCount;
    t.preambleOffset = h.preambleOffset;
    t.preambleLength = h.preambleLength;
    t.dataEnd = h.dataEnd;
    t.duplicatesListed = QList<int>(h.duplicatesListed, h.duplicatesListed + h.listedCount);
    return t.isConsistent(recording.size) && sampledFramesStart(recordingFd, t);
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

bool read(const QString &path, int recordingFd, const FileAccess::Facts &recording, IndexTables &tables)
{
    const int fd = FileAccess::openForReading(path, nullptr, FileAccess::Links::Refuse);
    if (fd < 0)
        return false;
    FileAccess::Facts facts;
    bool ok = false;
    try {
        ok = FileAccess::facts(fd, facts, nullptr) && facts.regular
          && readTables(fd, facts.size, recordingFd, recording, tables);
    } catch (const std::bad_alloc &) {
        // Ignored like a damaged one; the scan that follows reports it if memory is really short.
    }
    FileAccess::closeFile(fd);
    return ok;
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
    h.recordingChangedNs = recording.changedNs;
    h.recordingInode = recording.inode;
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

    // Never wider than the recording: the index tells what the recording holds.
    FileAccess::Replacement file;
    if (FileAccess::beginReplacement(path, recording.permissions & 0666, FileAccess::Folder::Trusted, file, nullptr)
        != FileAccess::Begun::Created)
        return false;
    Checksum sum;
    bool ok = true;
    const auto put = [&](const void *data, qint64 bytes) {
        if (bytes == 0)
            return;
        sum.add(data, bytes);
        ok = ok && FileAccess::writeAll(file.fd, data, bytes, nullptr);
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
    if (!ok) {
        FileAccess::abandonReplacement(file);
        return false;
    }
    return FileAccess::commitReplacement(file, nullptr);
}

}
