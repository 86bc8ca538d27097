#include "record/pre_trigger_ring.h"

#include "platform/file_access.h"

#include <algorithm>
#include <cstring>

namespace {

// Big enough that writing a chunk is one large write, small enough that memory follows the kept seconds closely.
constexpr int PreferredChunkBytes = 4 * 1024 * 1024;
// Entries for datagrams of 128 bytes on average; smaller ones fill a chunk by count instead.
constexpr int BytesPerEntry = 128;

}

PreTriggerRing::PreTriggerRing(qint64 bound, int largestDatagram)
{
    // At least eight chunks within the bound, so dropping one loses little of it.
    chunkBytes = int(std::max<qint64>(largestDatagram, std::min<qint64>(PreferredChunkBytes, bound / 8)));
    chunkBytes = (chunkBytes + 7) & ~7;
    chunkEntries = std::max(1, chunkBytes / BytesPerEntry);
    const int places = int(std::max<qint64>(2, bound / blockBytes()));
    chunks.resize(size_t(places));
    spare.reserve(size_t(places));
}

PreTriggerRing::~PreTriggerRing()
{
    release();
}

qint64 PreTriggerRing::blockBytes() const
{
    return qint64(chunkBytes) + qint64(chunkEntries) * qint64(sizeof(qint64) + sizeof(int));
}

bool PreTriggerRing::fits(const Chunk &chunk, int length) const
{
    return chunk.count < chunkEntries && chunk.used + length <= chunkBytes;
}

bool PreTriggerRing::isFull(int length) const
{
    return inUse == int(chunks.size()) && !fits(chunkAt(inUse - 1), length);
}

void PreTriggerRing::push(const char *data, int length, qint64 micros)
{
    if (length <= 0 || length > chunkBytes)
        return;
    if (inUse == 0 || !fits(chunkAt(inUse - 1), length)) {
        if (!addChunk()) {
            if (inUse == 0)
                return; // no memory at all: the datagram cannot be kept
            dropOldestChunk();
            if (!addChunk())
                return;
        }
    }
    Chunk &chunk = chunkAt(inUse - 1);
    std::memcpy(chunk.memory + chunk.used, data, size_t(length));
    chunk.lengths[chunk.count] = length;
    chunk.times[chunk.count] = micros;
    ++chunk.count;
    chunk.used += length;
    ++datagramCount;
    byteCount += length;
}

bool PreTriggerRing::addChunk()
{
    if (inUse == int(chunks.size()))
        return false;
    char *memory = nullptr;
    if (!spare.empty()) {
        memory = spare.back();
        spare.pop_back();
    } else {
        // Mapped in one call: page by page, the first pass through fresh memory costs the receiver far more.
        memory = static_cast<char *>(FileAccess::allocateTable(blockBytes()));
        if (!memory)
            return false;
    }
    Chunk &chunk = chunkAt(inUse);
    chunk = Chunk{};
    chunk.memory = memory;
    chunk.times = reinterpret_cast<qint64 *>(memory + chunkBytes);
    chunk.lengths = reinterpret_cast<int *>(chunk.times + chunkEntries);
    ++inUse;
    return true;
}

void PreTriggerRing::dropOldestChunk()
{
    Chunk &chunk = chunkAt(0);
    datagramCount -= chunk.count - chunk.first;
    byteCount -= chunk.used - chunk.firstOffset;
    spare.push_back(chunk.memory);
    chunk = Chunk{};
    oldest = (oldest + 1) % int(chunks.size());
    --inUse;
}

void PreTriggerRing::dropOldestDatagram()
{
    Chunk &chunk = chunkAt(0);
    const int length = chunk.lengths[chunk.first];
    chunk.firstOffset += length;
    ++chunk.first;
    --datagramCount;
    byteCount -= length;
    if (chunk.first < chunk.count)
        return;
    if (inUse > 1) {
        dropOldestChunk();
    } else {
        // The only chunk starts over in place.
        chunk.first = chunk.count = chunk.firstOffset = chunk.used = 0;
    }
}

void PreTriggerRing::dropBefore(qint64 micros)
{
    // Only the newest chunk is ever empty: the oldest one holds the oldest datagram.
    while (datagramCount > 0 && chunkAt(0).times[chunkAt(0).first] < micros)
        dropOldestDatagram();
}

void PreTriggerRing::clear()
{
    while (inUse > 0)
        dropOldestChunk();
    oldest = 0;
    datagramCount = 0;
    byteCount = 0;
}

void PreTriggerRing::release()
{
    clear();
    for (char *memory : spare)
        FileAccess::releaseTable(memory, blockBytes());
    spare.clear();
}

qint64 PreTriggerRing::oldestMicros() const
{
    return datagramCount > 0 ? chunkAt(0).times[chunkAt(0).first] : -1;
}

const char *PreTriggerRing::newest(int *length) const
{
    const Chunk &chunk = chunkAt(inUse - 1);
    *length = chunk.lengths[chunk.count - 1];
    return chunk.memory + chunk.used - *length;
}

PreTriggerRing::Span PreTriggerRing::oldestSpan() const
{
    if (datagramCount == 0)
        return {nullptr, nullptr, nullptr, 0, 0};
    const Chunk &chunk = chunkAt(0);
    return {chunk.memory + chunk.firstOffset, chunk.lengths + chunk.first, chunk.times + chunk.first,
            chunk.count - chunk.first, chunk.used - chunk.firstOffset};
}

void PreTriggerRing::dropOldestSpan()
{
    if (datagramCount == 0)
        return;
    if (inUse > 1) {
        dropOldestChunk();
        return;
    }
    Chunk &chunk = chunkAt(0);
    datagramCount = 0;
    byteCount = 0;
    chunk.first = chunk.count = chunk.firstOffset = chunk.used = 0;
}
