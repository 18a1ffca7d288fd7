#pragma once

#include "merge_engine/key_slot_map.hpp"
#include "merge_engine/owned_matrix.hpp"
#include "merge_engine/point_table.hpp"
#include "merge_engine/table_layout.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

namespace quillmoor {

// Which connection records gather a point record. Every distinct base key of the
// connection records gets a slot; a point record belongs to the slot of its key.
// This replaces one full scan of points_in_rows per record by one hash lookup per
// point record, while keeping the scan's outcome: rows in table order, and the same
// failures for point tables too narrow to hold a key.
class PointSlots {
public:
    PointSlots(const OwnedMatrix& connected_crop_rows, const PointTable& points_in_rows);

    // The checks a scan for record `record`'s points would make: raises "ndarray: index
    // out of bounds" where that scan would read a missing column.
    void check_gathering(std::uint32_t key_a) const;

    // Whether record `record`'s base key gathers at least one point record. Only known
    // for tables of 2 or 3 columns, the ones whose filter pass fails on any point.
    bool gathers_points_of_narrow_table(std::size_t record) const;

    // Whether point records can be gathered at all (the table has rows and both key columns).
    bool gathers_anything() const noexcept { return shape_ == PointShape::INDEXED; }

    // Slot of point record `row`, or KeySlotMap::NO_SLOT when no record gathers it.
    // Reads the row's two key cells once; whatever they hold, the answer is a valid slot
    // or NO_SLOT.
    std::uint32_t slot_of_point(const PointTable& points_in_rows, std::size_t row) const noexcept {
        return slot_of_key(point_key(points_in_rows, row));
    }
    static std::uint64_t point_key(const PointTable& points_in_rows, std::size_t row) noexcept {
        return pack_key(key_from_cell(points_in_rows(row, layout::POINT_KEY_A)),
                        key_from_cell(points_in_rows(row, layout::POINT_KEY_B)));
    }
    std::uint32_t slot_of_key(std::uint64_t key) const noexcept { return slots_.find(key); }

    // A key's slot and, when exactly one record has that base key, that record's index
    // (SHARED_SLOT when several have it, NO_SLOT with the slot when none): one lookup for
    // the common case of one record per key.
    static constexpr std::uint32_t SHARED_SLOT = KeySlotMap::NO_TAG - 1;
    KeySlotMap::TaggedSlot slot_and_record_of_key(std::uint64_t key) const noexcept {
        return slots_.find_tagged(key);
    }
    void prefetch_key(std::uint64_t key) const noexcept { slots_.prefetch(key); }

    // The connection records, in increasing index, whose base key has slot `slot`.
    std::span<const std::size_t> records_of_slot(std::uint32_t slot) const noexcept {
        return {slot_records_.data() + slot_begin_[slot], slot_begin_[slot + 1] - slot_begin_[slot]};
    }

private:
    enum class PointShape { NO_RECORDS, NO_COLUMNS, ONE_COLUMN, INDEXED };

    PointShape shape_ = PointShape::INDEXED;
    KeySlotMap slots_;
    std::vector<std::uint32_t> record_slot_;
    std::vector<std::size_t> slot_begin_;     // records of slot s: slot_records_[slot_begin_[s] .. slot_begin_[s+1])
    std::vector<std::size_t> slot_records_;
    std::vector<bool> narrow_slot_has_points_;
    std::unordered_set<std::uint32_t> one_column_key_a_;
};

}  // namespace quillmoor
