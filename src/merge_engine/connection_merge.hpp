#pragma once

#include "merge_engine/junction_geometry.hpp"
#include "merge_engine/overlap_filter.hpp"
#include "merge_engine/point_table.hpp"
#include "merge_engine/merge_tables.hpp"
#include "merge_engine/point_slots.hpp"
#include "merge_engine/row_record_index.hpp"
#include "merge_engine/table_layout.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmoor {

// The cells a merge decides by are the ones a table of decision columns holds.
static_assert(layout::POINT_KEY_A < PointTable::DECISION_COLUMNS &&
              layout::POINT_KEY_B < PointTable::DECISION_COLUMNS &&
              layout::POINT_X < PointTable::DECISION_COLUMNS &&
              layout::POINT_Y < PointTable::DECISION_COLUMNS);

// What one connection record contributes: the point records of its base key (table
// order) that lie outside the overlap zone of every junction listed here.
struct RecordMerge {
    std::uint8_t junction_count = 0;  // first, so a record without junctions reads one line
    std::array<OverlapTest, layout::MAX_NEIGHBOURS> junction_tests{};

    // Whether point row `row` survives every junction. Reads x and y (once each) only
    // when there is a junction: a record without neighbours keeps every point of any
    // width. A record with junctions fails on a table too narrow for x and y when it
    // gathers any point; a row that takes its key only after that check (another thread
    // wrote it) is dropped rather than read outside the table.
    bool keeps_point(const PointTable& points_in_rows, std::size_t row) const noexcept {
        if (junction_count == 0) {
            return true;
        }
        if (points_in_rows.cols() < layout::POINT_MIN_COLUMNS_FOR_FILTER) {
            return false;
        }
        const double x = points_in_rows(row, layout::POINT_X);
        const double y = points_in_rows(row, layout::POINT_Y);
        for (std::size_t k = 0; k < junction_count; ++k) {
            if (!junction_tests[k].keeps(x, y)) {
                return false;
            }
        }
        return true;
    }
};

// The lookups one call shares between its records, built once.
struct MergeIndexes {
    const PointSlots& points;
    const RowRecordIndex& row_records;
};

// Merges connection record `record`: base key, gathering checks, base row record, then
// one junction per neighbour until the list's NaN end. Raises an internal error on
// malformed tables, checking in the same order a plain scan of the tables would.
RecordMerge merge_connection_record(std::size_t record, const MergeTables& tables,
                                    const MergeIndexes& indexes);

}  // namespace quillmoor
