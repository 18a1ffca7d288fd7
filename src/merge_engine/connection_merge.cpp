#include "merge_engine/connection_merge.hpp"

#include "merge_engine/internal_error.hpp"
#include "merge_engine/overlap_filter.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string>

namespace quillmoor {

namespace {

// Shortest text that reads back as the same float64. NaN is spelt "nan" or "-nan" here:
// the C++ libraries disagree on it (libc++ writes "-nan(ind)" for x86's default NaN), and a
// message must not depend on which one the module was built with.
std::string cell_text(double cell) {
    if (std::isnan(cell)) {
        return std::signbit(cell) ? "-nan" : "nan";
    }
    std::array<char, 32> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), cell);
    return {text.data(), result.ptr};
}

[[noreturn]] void fail_record(std::size_t record, const std::string& what) {
    raise_internal_error("connection record " + std::to_string(record) + ": " + what);
}

struct BaseKey {
    std::uint32_t a;
    std::uint32_t b;
};

std::size_t find_base_row_record(std::size_t record, BaseKey base_key,
                                 const OwnedMatrix& row_information, const RowRecordIndex& index) {
    const auto [key_a, key_b] = base_key;
    // Spelt out only for a failure: every record passes here.
    const auto key = [base_key] {
        return "(" + std::to_string(base_key.a) + ", " + std::to_string(base_key.b) + ")";
    };
    if (row_information.rows() == 0) {
        fail_record(record, "row_information has no records, so base key " + key() + " has none");
    }
    if (row_information.cols() == 0) {
        fail_record(record, "row_information has no columns, so base key " + key() + " has no record");
    }
    if (row_information.cols() <= layout::ROW_KEY_B) {
        // A scan would read the missing key_b column of the first record whose key_a matches.
        if (index.any_base_key_a(key_a)) {
            raise_internal_error(INDEX_OUT_OF_BOUNDS);
        }
        fail_record(record, "no row record matches base key " + key());
    }
    const auto found = index.find_base(key_a, key_b);
    if (!found) {
        fail_record(record, "no row record matches base key " + key());
    }
    return *found;
}

ReferencePoints read_reference_points(std::size_t record, std::size_t row_record,
                                      const OwnedMatrix& row_information) {
    if (row_information.cols() != layout::ROW_INFORMATION_COLUMNS) {
        fail_record(record, "row record " + std::to_string(row_record) + " holds " +
                                std::to_string(row_information.cols() - layout::ROW_FIRST_REFERENCE_VALUE) +
                                " reference values, expected 6 (row_information needs exactly 11 columns)");
    }
    ReferencePoints points{};
    for (std::size_t p = 0; p < points.size(); ++p) {
        const std::size_t col = layout::ROW_FIRST_REFERENCE_VALUE + 2 * p;
        points[p] = {row_information(row_record, col), row_information(row_record, col + 1)};
    }
    return points;
}

}  // namespace

RecordMerge merge_connection_record(std::size_t record, const MergeTables& tables,
                                    const MergeIndexes& indexes) {
    const OwnedMatrix& connections = tables.connected_crop_rows;
    if (record >= connections.rows()) {
        fail_record(record, "no such connection record (the table has " +
                                std::to_string(connections.rows()) + ")");
    }
    const std::uint32_t key_a = key_from_cell(connections.at(record, layout::CONNECTION_KEY_A));
    const std::uint32_t key_b = key_from_cell(connections.at(record, layout::CONNECTION_KEY_B));

    indexes.points.check_gathering(key_a);
    RecordMerge merge;
    const std::size_t base_row =
        find_base_row_record(record, {key_a, key_b}, tables.row_information, indexes.row_records);

    for (std::size_t k = 0; k < layout::MAX_NEIGHBOURS; ++k) {
        const std::size_t col = layout::FIRST_NEIGHBOUR_COLUMN + 2 * k;
        const double neighbour_a = connections.at(record, col);
        if (std::isnan(neighbour_a)) {
            break;  // the neighbour list ends here
        }
        const double neighbour_b = connections.at(record, col + 1);
        const auto neighbour_row = indexes.row_records.find_neighbour(neighbour_a, neighbour_b);
        if (!neighbour_row) {
            fail_record(record, "no row record matches neighbour key (" + cell_text(neighbour_a) +
                                    ", " + cell_text(neighbour_b) + ")");
        }
        const ReferencePoints base = read_reference_points(record, base_row, tables.row_information);
        const ReferencePoints neighbour =
            read_reference_points(record, *neighbour_row, tables.row_information);
        merge.junction_tests[merge.junction_count++] =
            OverlapTest(junction_between(base, neighbour), tables.tolerance);
        // The filter reads x and y of every point it is given.
        if (tables.points_in_rows.cols() < layout::POINT_MIN_COLUMNS_FOR_FILTER &&
            indexes.points.gathers_points_of_narrow_table(record)) {
            raise_internal_error(INDEX_OUT_OF_BOUNDS);
        }
    }
    return merge;
}

}  // namespace quillmoor
