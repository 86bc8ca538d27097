#ifndef CHUNKED_ARRAY_H
#define CHUNKED_ARRAY_H

#include "platform/file_access.h"

#include <QtGlobal>

#include <memory>
#include <new>
#include <type_traits>
#include <vector>

// An append-only array in fixed-size chunks: growing never copies what is
// stored, so the peak while indexing a large file stays at the final size.
template <typename T>
class ChunkedArray
{
    static_assert(std::is_trivial_v<T>, "chunks are raw memory");

public:
    static constexpr int ChunkBits = 16;
    static constexpr qsizetype ChunkSize = qsizetype(1) << ChunkBits;

    qsizetype size() const { return count; }

    // Throws std::bad_alloc when memory runs out; the indexer catches it.
    void append(T value)
    {
        if (count == qsizetype(chunks.size()) * ChunkSize)
            addChunk();
        chunks[size_t(count >> ChunkBits)].get()[count & (ChunkSize - 1)] = value;
        ++count;
    }

    T at(qsizetype i) const { return chunks[size_t(i >> ChunkBits)].get()[i & (ChunkSize - 1)]; }

    // Appends `n` values a chunk at a time, each filled in place by
    // `fill(T *values, qsizetype count)`; false as soon as a fill fails, with
    // the array then in an unspecified state. Throws std::bad_alloc like append().
    template <typename Fill>
    bool appendFilled(qsizetype n, Fill fill)
    {
        Q_ASSERT(count % ChunkSize == 0);
        while (n > 0) {
            addChunk();
            const qsizetype length = qMin(n, ChunkSize);
            if (!fill(chunks.back().get(), length))
                return false;
            count += length;
            n -= length;
        }
        return true;
    }

    // Bulk access by chunk, for writing index files.
    qsizetype chunkCount() const { return (count + ChunkSize - 1) >> ChunkBits; }
    qsizetype chunkLength(qsizetype c) const { return qMin(ChunkSize, count - c * ChunkSize); }
    const T *chunkData(qsizetype c) const { return chunks[size_t(c)].get(); }

private:
    struct Release {
        void operator()(T *chunk) const { FileAccess::releaseTable(chunk, ChunkSize * qint64(sizeof(T))); }
    };

    void addChunk()
    {
        chunks.reserve(chunks.size() + 1);
        T *chunk = static_cast<T *>(FileAccess::allocateTable(ChunkSize * qint64(sizeof(T))));
        if (!chunk)
            throw std::bad_alloc();
        chunks.emplace_back(chunk);
    }

    std::vector<std::unique_ptr<T, Release>> chunks;
    qsizetype count = 0;
};

#endif
