#include "merge_engine/point_slots.hpp"
#include "merge_engine/allocation_failure.hpp"

#include "merge_engine/internal_error.hpp"
#include "merge_engine/interruption.hpp"

namespace quillmoor {

PointSlots::PointSlots(const OwnedMatrix& connected_crop_rows, const PointTable& points_in_rows)
    : slots_(connected_crop_rows.rows()) {
    const std::size_t point_count = points_in_rows.rows();
    if (point_count == 0) {
        shape_ = PointShape::NO_RECORDS;
        return;
    }
    if (points_in_rows.cols() == 0) {
        shape_ = PointShape::NO_COLUMNS;
        return;
    }
    if (points_in_rows.cols() == 1) {
        shape_ = PointShape::ONE_COLUMN;
        for_each_interruptible(0, point_count, [&](std::size_t row) {
            one_column_key_a_.insert(key_from_cell(points_in_rows(row, layout::POINT_KEY_A)));
        });
        return;
    }
    const std::size_t record_count = connected_crop_rows.rows();
    if (connected_crop_rows.cols() <= layout::CONNECTION_KEY_B) {
        return;  // every record fails before gathering
    }
    allocate_named("the key slots of connected_crop_rows", record_count,
                   sizeof(std::uint32_t), [&] { record_slot_.resize(record_count); });
    for_each_interruptible(0, record_count, [&](std::size_t record) {
        record_slot_[record] = slots_.insert(
            pack_key(key_from_cell(connected_crop_rows(record, layout::CONNECTION_KEY_A)),
                     key_from_cell(connected_crop_rows(record, layout::CONNECTION_KEY_B))));
    });
    // Records grouped by slot, each group in increasing record index.
    slot_begin_.assign(slots_.size() + 1, 0);
    for (const std::uint32_t slot : record_slot_) {
        ++slot_begin_[slot + 1];
    }
    for (std::size_t s = 1; s < slot_begin_.size(); ++s) {
        slot_begin_[s] += slot_begin_[s - 1];
    }
    std::vector<std::size_t> next;
    allocate_named("the records of connected_crop_rows grouped by key", 2 * record_count,
                   sizeof(std::size_t), [&] {
                       slot_records_.resize(record_count);
                       next.assign(slot_begin_.begin(), slot_begin_.end() - 1);
                   });
    for (std::size_t record = 0; record < record_count; ++record) {
        slot_records_[next[record_slot_[record]]++] = record;
    }
    // Record indices that do not fit a tag are never looked up this way: the assembly
    // refuses that many records first.
    slots_.tag_slots([this](std::uint32_t slot) {
        const std::span<const std::size_t> records = records_of_slot(slot);
        return records.size() == 1 && records[0] < SHARED_SLOT ? static_cast<std::uint32_t>(records[0])
                                                               : SHARED_SLOT;
    });

    if (points_in_rows.cols() < layout::POINT_MIN_COLUMNS_FOR_FILTER) {
        narrow_slot_has_points_.assign(slots_.size(), false);
        for_each_interruptible(0, point_count, [&](std::size_t row) {
            const std::uint32_t slot = slot_of_point(points_in_rows, row);
            if (slot != KeySlotMap::NO_SLOT) {
                narrow_slot_has_points_[slot] = true;
            }
        });
    }
}

void PointSlots::check_gathering(std::uint32_t key_a) const {
    switch (shape_) {
        case PointShape::NO_COLUMNS:
            raise_internal_error(INDEX_OUT_OF_BOUNDS);
        case PointShape::ONE_COLUMN:
            // A scan reads column 1 of the first row whose key_a matches: it is missing.
            if (one_column_key_a_.contains(key_a)) {
                raise_internal_error(INDEX_OUT_OF_BOUNDS);
            }
            return;
        case PointShape::NO_RECORDS:
        case PointShape::INDEXED:
            return;
    }
}

bool PointSlots::gathers_points_of_narrow_table(std::size_t record) const {
    return shape_ == PointShape::INDEXED && !narrow_slot_has_points_.empty() &&
           narrow_slot_has_points_[record_slot_.at(record)];
}

}  // namespace quillmoor
