#pragma once

#include "merge_engine/owned_matrix.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

namespace quillmoor {

// First-match lookups of row_information records, built once per call instead of a
// linear scan per lookup. Two rules: a base key compares key parts after key_from_cell;
// a neighbour key compares the float64 cells exactly (0.0 equals -0.0, NaN matches nothing).
class RowRecordIndex {
public:
    explicit RowRecordIndex(const OwnedMatrix& row_information);

    // Lowest record whose columns 0 and 4 match the base key, if any.
    std::optional<std::size_t> find_base(std::uint32_t key_a, std::uint32_t key_b) const;
    // Lowest record whose columns 0 and 4 equal the two cells exactly, if any.
    std::optional<std::size_t> find_neighbour(double key_a, double key_b) const;
    // Whether some record's column 0 matches key_a under the base rule (used only to
    // tell a too-narrow table's failure from a missing key).
    bool any_base_key_a(std::uint32_t key_a) const;

private:
    struct CellPairHash {
        std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& cells) const noexcept;
    };

    const OwnedMatrix& table_;
    std::unordered_map<std::uint64_t, std::size_t> base_;
    std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, std::size_t, CellPairHash> neighbour_;
};

}  // namespace quillmoor
