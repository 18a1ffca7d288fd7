#include "merge_engine/row_record_index.hpp"
#include "merge_engine/allocation_failure.hpp"
#include "merge_engine/interruption.hpp"

#include "merge_engine/table_layout.hpp"

#include <bit>
#include <cmath>

namespace quillmoor {

namespace {

// Bits under which equal floats (0.0 and -0.0 included) share one hash key.
std::uint64_t equality_bits(double cell) noexcept {
    return std::bit_cast<std::uint64_t>(cell == 0.0 ? 0.0 : cell);
}

}  // namespace

std::size_t RowRecordIndex::CellPairHash::operator()(
    const std::pair<std::uint64_t, std::uint64_t>& cells) const noexcept {
    return static_cast<std::size_t>(cells.first * 0x9E3779B97F4A7C15ULL ^
                                    (cells.second + 0x632BE59BD9B4E019ULL + (cells.first << 6U)));
}

RowRecordIndex::RowRecordIndex(const OwnedMatrix& row_information) : table_(row_information) {
    if (row_information.cols() <= layout::ROW_KEY_B) {
        return;  // too narrow for any lookup
    }
    allocate_named("the key index of row_information", 2 * row_information.rows(),
                   sizeof(std::pair<std::uint64_t, std::size_t>), [&] {
                       base_.reserve(row_information.rows());
                       neighbour_.reserve(row_information.rows());
                   });
    for_each_interruptible(0, row_information.rows(), [&](std::size_t record) {
        const double a = row_information(record, layout::ROW_KEY_A);
        const double b = row_information(record, layout::ROW_KEY_B);
        // try_emplace keeps the first record of a key.
        base_.try_emplace(pack_key(key_from_cell(a), key_from_cell(b)), record);
        if (!std::isnan(a) && !std::isnan(b)) {
            neighbour_.try_emplace({equality_bits(a), equality_bits(b)}, record);
        }
    });
}

std::optional<std::size_t> RowRecordIndex::find_base(std::uint32_t key_a, std::uint32_t key_b) const {
    const auto it = base_.find(pack_key(key_a, key_b));
    return it == base_.end() ? std::nullopt : std::optional(it->second);
}

std::optional<std::size_t> RowRecordIndex::find_neighbour(double key_a, double key_b) const {
    if (std::isnan(key_a) || std::isnan(key_b)) {
        return std::nullopt;
    }
    const auto it = neighbour_.find({equality_bits(key_a), equality_bits(key_b)});
    return it == neighbour_.end() ? std::nullopt : std::optional(it->second);
}

bool RowRecordIndex::any_base_key_a(std::uint32_t key_a) const {
    if (table_.cols() <= layout::ROW_KEY_A) {
        return false;
    }
    for (std::size_t record = 0; record < table_.rows(); ++record) {
        if (key_from_cell(table_(record, layout::ROW_KEY_A)) == key_a) {
            return true;
        }
    }
    return false;
}

}  // namespace quillmoor
