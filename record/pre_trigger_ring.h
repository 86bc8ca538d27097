#ifndef PRE_TRIGGER_RING_H
#define PRE_TRIGGER_RING_H

#include <QtGlobal>

#include <vector>

// The newest datagrams kept in memory while previewing, oldest first, so that a
// recording can begin before the moment it was asked for.
//
// Datagrams lie back to back in chunks, so the oldest ones of a chunk reach a
// file in one write. Chunks are allocated as the ring grows and reused as the
// oldest datagrams go, so memory follows what is kept (not the bound) and a
// datagram never allocates once the ring has reached its size. Only the
// receiving thread uses a ring.
class PreTriggerRing
{
public:
    static constexpr qint64 DefaultBound = qint64(512) * 1024 * 1024;

    // `bound`: the most memory the ring takes; `largestDatagram`: what a chunk must hold at least.
    PreTriggerRing(qint64 bound, int largestDatagram);
    ~PreTriggerRing();
    PreTriggerRing(const PreTriggerRing &) = delete;
    PreTriggerRing &operator=(const PreTriggerRing &) = delete;

    // True when keeping `length` more bytes drops the oldest datagrams (or, with
    // no memory to be had, the new one).
    bool isFull(int length) const;
    // Keeps a copy of the datagram that arrived at `micros`, dropping the oldest when full.
    void push(const char *data, int length, qint64 micros);
    // Drops every datagram that arrived before `micros`.
    void dropBefore(qint64 micros);
    void clear();
    // Gives the memory back; the ring stays usable.
    void release();

    bool isEmpty() const { return datagramCount == 0; }
    qint64 datagrams() const { return datagramCount; }
    qint64 bytes() const { return byteCount; }
    qint64 oldestMicros() const;
    // The newest datagram; only when not empty.
    const char *newest(int *length) const;

    // The oldest datagrams that lie back to back in memory, to be written in one go.
    struct Span {
        const char *data;
        const int *lengths;
        const qint64 *times;
        int count;
        int bytes;
    };
    Span oldestSpan() const;
    // Drops what oldestSpan() returned.
    void dropOldestSpan();

private:
    struct Chunk {
        char *memory = nullptr;
        int *lengths = nullptr;
        qint64 *times = nullptr;
        int first = 0; // oldest datagram still kept
        int count = 0;
        int firstOffset = 0;
        int used = 0;
    };

    Chunk &chunkAt(int position) { return chunks[size_t((oldest + position) % int(chunks.size()))]; }
    const Chunk &chunkAt(int position) const { return chunks[size_t((oldest + position) % int(chunks.size()))]; }
    qint64 blockBytes() const; // a chunk's memory: its bytes, then its arrival times and lengths
    bool fits(const Chunk &chunk, int length) const;
    // Starts a new newest chunk; false when the bound or the memory allows none.
    bool addChunk();
    void dropOldestChunk();
    void dropOldestDatagram();

    int chunkBytes = 0;
    int chunkEntries = 0;
    std::vector<Chunk> chunks; // a circular queue of chunk slots
    std::vector<char *> spare; // memory of chunks that were dropped, for reuse
    int oldest = 0;
    int inUse = 0;
    qint64 datagramCount = 0;
    qint64 byteCount = 0;
};

#endif
