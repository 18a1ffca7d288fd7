#pragma once

#include <cstddef>
#include <memory>

namespace quillmoor {

// A row position in points_in_rows: a machine word, NumPy's intp (32 bits on 32-bit ARM).
// Any row of a table NumPy can describe has one.
using RowPosition = std::ptrdiff_t;

struct PositionBufferDeleter {
    void operator()(RowPosition* positions) const noexcept;
};

// Owned storage of positions; freed with PositionBufferDeleter wherever it ends up, also
// when a NumPy array owns it.
using PositionBuffer = std::unique_ptr<RowPosition[], PositionBufferDeleter>;

// Uninitialised storage for `count` positions (room for at least one); std::bad_alloc
// when it cannot be had.
PositionBuffer allocate_positions(std::size_t count);

// What argmerge finds: the positions of the kept point rows in output order (record by
// record in increasing index, each record's rows in table order), and where each
// record's block starts: record r's rows are positions[record_bounds[r] ..
// record_bounds[r + 1]), and record_bounds[record_count] == count.
struct KeptPositions {
    PositionBuffer positions;
    std::size_t count = 0;
    PositionBuffer record_bounds;
    std::size_t record_count = 0;
};

}  // namespace quillmoor
