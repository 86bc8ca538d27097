#ifndef INDEX_SCANNER_H
#define INDEX_SCANNER_H

#include "play/index_result.h"

#include <atomic>

struct IndexTables;

// Reads a recording once through a bounded buffer and fills the index tables
// by the loading rules. Only line starts are looked at; frame text is never kept.
namespace IndexScanner {

// Scans the first `size` bytes from the descriptor's position (the file's start).
// Sets `result.status` and, on a refusal, its frame numbers and reason.
void scan(int fd, qint64 size, IndexTables &tables, IndexResult &result, const std::atomic<bool> *cancel,
          const IndexProgress &progress);

}

#endif
