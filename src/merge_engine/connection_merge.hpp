#pragma once

#include "merge_engine/junction_geometry.hpp"
#include "merge_engine/merge_tables.hpp"
#include "merge_engine/point_index.hpp"
#include "merge_engine/row_record_index.hpp"
#include "merge_engine/table_layout.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace quillmoor {

// What one connection record contributes: its segment's gathered point rows (table
// order) and the junctions they are filtered against; a row is contributed when it is
// outside the overlap zone of every junction.
struct RecordMerge {
    std::span<const std::size_t> gathered_rows;
    std::array<Junction, layout::MAX_NEIGHBOURS> junctions{};
    std::size_t junction_count = 0;
    std::size_t kept_count = 0;

    std::span<const Junction> active_junctions() const noexcept {
        return {junctions.data(), junction_count};
    }
};

// The lookups one call shares between its records, built once.
struct MergeIndexes {
    const PointIndex& points;
    const RowRecordIndex& row_records;
};

// Merges connection record `record`: base key, gathering, base row record, then one
// junction per neighbour until the list's NaN end. Counts the kept rows. Raises an
// internal error on malformed tables, checking in the same order a plain scan would.
RecordMerge merge_connection_record(std::size_t record, const MergeTables& tables,
                                    const MergeIndexes& indexes);

// Whether point row `row` survives every junction of `merge`.
bool keeps_point(const RecordMerge& merge, const OwnedMatrix& points_in_rows, std::size_t row,
                 double tolerance) noexcept;

}  // namespace quillmoor
