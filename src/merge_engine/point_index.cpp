#include "merge_engine/point_index.hpp"

#include "merge_engine/internal_error.hpp"
#include "merge_engine/table_layout.hpp"

namespace quillmoor {

namespace {

std::uint64_t point_key(const OwnedMatrix& points, std::size_t row) noexcept {
    return pack_key(key_from_cell(points(row, layout::POINT_KEY_A)),
                    key_from_cell(points(row, layout::POINT_KEY_B)));
}

}  // namespace

PointIndex::PointIndex(const OwnedMatrix& connected_crop_rows, const OwnedMatrix& points_in_rows)
    : slots_(connected_crop_rows.rows()) {
    if (points_in_rows.rows() == 0) {
        shape_ = PointShape::NO_RECORDS;
        return;
    }
    if (points_in_rows.cols() == 0) {
        shape_ = PointShape::NO_COLUMNS;
        return;
    }
    if (points_in_rows.cols() == 1) {
        shape_ = PointShape::ONE_COLUMN;
        for (std::size_t row = 0; row < points_in_rows.rows(); ++row) {
            one_column_key_a_.insert(key_from_cell(points_in_rows(row, layout::POINT_KEY_A)));
        }
        return;
    }
    shape_ = PointShape::INDEXED;
    if (connected_crop_rows.cols() <= layout::CONNECTION_KEY_B) {
        return;  // every record fails before gathering
    }
    record_slot_.resize(connected_crop_rows.rows());
    for (std::size_t record = 0; record < connected_crop_rows.rows(); ++record) {
        record_slot_[record] = slots_.insert(
            pack_key(key_from_cell(connected_crop_rows(record, layout::CONNECTION_KEY_A)),
                     key_from_cell(connected_crop_rows(record, layout::CONNECTION_KEY_B))));
    }
    build_index(points_in_rows);
}

void PointIndex::build_index(const OwnedMatrix& points) {
    // Counting sort of the row numbers by slot; a stable pass keeps table order.
    const std::size_t n = points.rows();
    std::vector<std::uint32_t> slot_of_row(n);
    slot_begin_.assign(slots_.size() + 1, 0);
    for (std::size_t row = 0; row < n; ++row) {
        const std::uint32_t slot = slots_.find(point_key(points, row));
        slot_of_row[row] = slot;
        if (slot != KeySlotMap::NO_SLOT) {
            ++slot_begin_[slot + 1];
        }
    }
    for (std::size_t s = 1; s < slot_begin_.size(); ++s) {
        slot_begin_[s] += slot_begin_[s - 1];
    }
    rows_.resize(slot_begin_.back());
    std::vector<std::size_t> next(slot_begin_.begin(), slot_begin_.end() - 1);
    for (std::size_t row = 0; row < n; ++row) {
        const std::uint32_t slot = slot_of_row[row];
        if (slot != KeySlotMap::NO_SLOT) {
            rows_[next[slot]++] = row;
        }
    }
}

std::span<const std::size_t> PointIndex::gather(std::size_t record, std::uint32_t key_a) const {
    switch (shape_) {
        case PointShape::NO_RECORDS:
            return {};
        case PointShape::NO_COLUMNS:
            raise_internal_error(INDEX_OUT_OF_BOUNDS);
        case PointShape::ONE_COLUMN:
            // A scan reads column 1 of the first row whose key_a matches, which is missing.
            if (one_column_key_a_.contains(key_a)) {
                raise_internal_error(INDEX_OUT_OF_BOUNDS);
            }
            return {};
        case PointShape::INDEXED:
            break;
    }
    const std::uint32_t slot = record_slot_.at(record);
    return {rows_.data() + slot_begin_[slot], slot_begin_[slot + 1] - slot_begin_[slot]};
}

}  // namespace quillmoor
