#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

// Column positions of the three input tables. Every cell is a float64, identifiers too.
namespace quillmoor::layout {

// connected_crop_rows: column 0 is not read.
inline constexpr std::size_t CONNECTION_KEY_A = 1;
inline constexpr std::size_t CONNECTION_KEY_B = 2;
inline constexpr std::size_t FIRST_NEIGHBOUR_COLUMN = 3;  // then pairs (3,4) (5,6) (7,8) (9,10)
inline constexpr std::size_t MAX_NEIGHBOURS = 4;

// points_in_rows: columns 4 and beyond are copied along unchanged.
inline constexpr std::size_t POINT_KEY_A = 0;
inline constexpr std::size_t POINT_KEY_B = 1;
inline constexpr std::size_t POINT_X = 2;
inline constexpr std::size_t POINT_Y = 3;
inline constexpr std::size_t POINT_MIN_COLUMNS_FOR_FILTER = 4;

// row_information: columns 1 to 3 are not read; 5..10 hold p0, p1, p2 as (x, y).
inline constexpr std::size_t ROW_KEY_A = 0;
inline constexpr std::size_t ROW_KEY_B = 4;
inline constexpr std::size_t ROW_FIRST_REFERENCE_VALUE = 5;
inline constexpr std::size_t REFERENCE_VALUE_COUNT = 6;
inline constexpr std::size_t ROW_INFORMATION_COLUMNS = ROW_FIRST_REFERENCE_VALUE + REFERENCE_VALUE_COUNT;

}  // namespace quillmoor::layout

namespace quillmoor {

// A key cell as a 32-bit unsigned key part: truncation toward zero, NaN and negatives
// give 0, everything from 4294967295 up (and +inf) gives 4294967295.
inline std::uint32_t key_from_cell(double cell) noexcept {
    if (!(cell > 0.0)) {  // NaN, zero and negatives
        return 0;
    }
    if (cell >= 4294967295.0) {
        return UINT32_MAX;
    }
    return static_cast<std::uint32_t>(cell);
}

// Both key parts in one word, key_a in the high half.
inline std::uint64_t pack_key(std::uint32_t key_a, std::uint32_t key_b) noexcept {
    return (static_cast<std::uint64_t>(key_a) << 32U) | key_b;
}

}  // namespace quillmoor
