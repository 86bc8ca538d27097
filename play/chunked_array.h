#ifndef CHUNKED_ARRAY_H
#define CHUNKED_ARRAY_H

#include <QtGlobal>

#include <memory>
#include <vector>

// An append-only array in fixed-size chunks: growing never copies what is
// stored, so the peak while indexing a large file stays at the final size.
template <typename T>
class ChunkedArray
{
public:
    static constexpr int ChunkBits = 13;
    static constexpr qsizetype ChunkSize = qsizetype(1) << ChunkBits;

    qsizetype size() const { return count; }
    bool isEmpty() const { return count == 0; }

    // May throw std::bad_alloc; the indexer catches it.
    void append(T value)
    {
        if (count == qsizetype(chunks.size()) * ChunkSize)
            chunks.emplace_back(new T[ChunkSize]);
        chunks[size_t(count >> ChunkBits)][count & (ChunkSize - 1)] = value;
        ++count;
    }

    T at(qsizetype i) const { return chunks[size_t(i >> ChunkBits)][i & (ChunkSize - 1)]; }
    T last() const { return at(count - 1); }
    void setLast(T value) { chunks[size_t((count - 1) >> ChunkBits)][(count - 1) & (ChunkSize - 1)] = value; }

    // Bulk access by chunk, for reading and writing index files.
    void resize(qsizetype n)
    {
        chunks.resize(size_t((n + ChunkSize - 1) >> ChunkBits));
        for (auto &chunk : chunks) {
            if (!chunk)
                chunk.reset(new T[ChunkSize]);
        }
        count = n;
    }
    qsizetype chunkCount() const { return qsizetype(chunks.size()); }
    qsizetype chunkLength(qsizetype c) const { return qMin(ChunkSize, count - c * ChunkSize); }
    T *chunkData(qsizetype c) { return chunks[size_t(c)].get(); }
    const T *chunkData(qsizetype c) const { return chunks[size_t(c)].get(); }

private:
    std::vector<std::unique_ptr<T[]>> chunks;
    qsizetype count = 0;
};

#endif
