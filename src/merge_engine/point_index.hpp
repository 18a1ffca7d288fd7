#pragma once

#include "merge_engine/key_slot_map.hpp"
#include "merge_engine/owned_matrix.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

namespace quillmoor {

// The point records of every base key named by a connection record, built in one pass
// over points_in_rows so that gathering costs each record only its own points.
// Rows come out in table order, like a full scan per record would give them.
class PointIndex {
public:
    // Indexes the base keys of every connection record (the table has at least the
    // two key columns). Degenerate point tables (no columns, one column) are noted
    // instead of indexed: gathering then fails as a full scan would.
    PointIndex(const OwnedMatrix& connected_crop_rows, const OwnedMatrix& points_in_rows);

    // Gathers the points of connection record `record`'s base key (key_a, key_b):
    // raises "ndarray: index out of bounds" where a scan would read a missing column.
    std::span<const std::size_t> gather(std::size_t record, std::uint32_t key_a) const;

private:
    enum class PointShape { NO_RECORDS, NO_COLUMNS, ONE_COLUMN, INDEXED };

    void build_index(const OwnedMatrix& points_in_rows);

    PointShape shape_;
    KeySlotMap slots_;
    std::vector<std::uint32_t> record_slot_;   // slot of each connection record's base key
    std::vector<std::size_t> slot_begin_;      // rows of slot s: rows_[slot_begin_[s] .. slot_begin_[s+1])
    std::vector<std::size_t> rows_;
    std::unordered_set<std::uint32_t> one_column_key_a_;  // key_a values of a one-column table
};

}  // namespace quillmoor
