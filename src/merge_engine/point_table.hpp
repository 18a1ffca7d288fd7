#pragma once

#include "merge_engine/owned_matrix.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// The points table is read where it lies, in the caller's memory, and another thread may
// write into that memory while the call runs (Python code does not respect read
// borrows). Such a writer is plain C code, not an atomic, so no way of reading it is
// race-free in the language's sense; what the engine guarantees is that nothing it
// decides depends on reading a value twice:
//   * every decision read (key, x, y) is loaded once into a register and used from there:
//     the empty asm below forbids the compiler to reload it from the table later;
//   * what a value decides (a row's slot, its verdict) is stored in the engine's own
//     memory, and later passes use only that.
// ThreadSanitizer would report each of these reads; they are intended, so the two
// functions that touch the caller's memory are not instrumented (see QUILLMOOR_RACY_READ).
// Reads go through memcpy, so unaligned rows and strides that are not multiples of 8 work.

#if defined(__SANITIZE_THREAD__)
#define QUILLMOOR_RACY_READ __attribute__((no_sanitize("thread")))
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLMOOR_RACY_READ __attribute__((no_sanitize("thread")))
#endif
#endif
#ifndef QUILLMOOR_RACY_READ
#define QUILLMOOR_RACY_READ
#endif

namespace quillmoor {

// A caller's float64 table in place: element (i, j) starts at byte
// data + i * row_stride + j * col_stride. Strides are signed and counted in bytes; the
// elements need not be aligned. The table is only read, never written.
//
// Or only the four columns a merge decides by (key_a, key_b, x, y), each a column of its
// own anywhere in memory (a DataFrame's or an Arrow table's columns): enough to find the
// kept rows' positions, not to copy rows.
class PointTable {
public:
    // Where one of the decision columns lies: its cell of row i starts at byte
    // data + i * stride.
    struct Column {
        const void* data = nullptr;
        std::ptrdiff_t stride = 0;
    };
    // key_a, key_b, x and y: the only cells the merge reads one by one.
    static constexpr std::size_t DECISION_COLUMNS = 4;
    using DecisionColumns = std::array<Column, DECISION_COLUMNS>;

    PointTable() = default;
    // NOLINTBEGIN(bugprone-easily-swappable-parameters): shape, then strides, as NumPy's
    PointTable(std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride_bytes,
               std::ptrdiff_t col_stride_bytes, const void* data) noexcept
        : rows_(rows),
          cols_(cols),
          row_stride_(row_stride_bytes),
          col_stride_(col_stride_bytes),
          data_(static_cast<const char*>(data)),
          whole_rows_(true) {
        for (std::size_t col = 0; col < std::min(cols, DECISION_COLUMNS); ++col) {
            columns_[col] = {data_ + static_cast<std::ptrdiff_t>(col) * col_stride_, row_stride_};
        }
    }
    // NOLINTEND(bugprone-easily-swappable-parameters)

    // The decision columns alone, each with `rows` cells.
    static PointTable of_columns(std::size_t rows, const DecisionColumns& columns) noexcept {
        PointTable table;
        table.rows_ = rows;
        table.cols_ = DECISION_COLUMNS;
        for (std::size_t col = 0; col < DECISION_COLUMNS; ++col) {
            table.columns_[col] = {static_cast<const char*>(columns[col].data), columns[col].stride};
        }
        return table;
    }

    // A view of an owned matrix (which must outlive the view).
    static PointTable of(const OwnedMatrix& matrix) noexcept {
        constexpr auto element = static_cast<std::ptrdiff_t>(sizeof(double));
        return {matrix.rows(), matrix.cols(), matrix.row_stride() * element,
                matrix.col_stride() * element, matrix.data()};
    }

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    // Whether every column is here, so that rows can be copied (copy_row, stream_row).
    bool holds_whole_rows() const noexcept { return whole_rows_; }

    // One read of element (row, col) of a decision column (col < DECISION_COLUMNS and
    // col < cols()), unchecked. The value is final: the compiler may not read the cell
    // again in its place.
    QUILLMOOR_RACY_READ double operator()(std::size_t row, std::size_t col) const noexcept {
        std::uint64_t bits = 0;
        std::memcpy(&bits, cell(row, col), sizeof bits);
        return std::bit_cast<double>(pinned(bits));
    }

    // Copies row `row`, every column, to `out` (whole rows only). Another thread may
    // change the row meanwhile; the copy then holds values as they were read, cell by cell.
    QUILLMOOR_RACY_READ void copy_row(std::size_t row, double* out) const noexcept {
        const char* in = address(row, 0);
        if (col_stride_ == static_cast<std::ptrdiff_t>(sizeof(double))) {
            // Rows are short: an inline loop beats a call to memcpy per row.
            for (std::size_t col = 0; col < cols_; ++col) {
                __builtin_memcpy(out + col, in + col * sizeof(double), sizeof(double));
            }
            return;
        }
        for (std::size_t col = 0; col < cols_; ++col) {
            __builtin_memcpy(out + col, in + static_cast<std::ptrdiff_t>(col) * col_stride_,
                             sizeof(double));
        }
    }

    // Asks for the cache lines of row `row` ahead of a read: its first and last cell, or
    // the cell of each decision column.
    void prefetch_row(std::size_t row) const noexcept {
        if (whole_rows_) {
            if (cols_ != 0) {
                __builtin_prefetch(address(row, 0));
                __builtin_prefetch(address(row, cols_ - 1));
            }
            return;
        }
        for (std::size_t col = 0; col < DECISION_COLUMNS; ++col) {
            __builtin_prefetch(cell(row, col));
        }
    }

    // copy_row into output that is not read again soon (whole rows only): on x86-64 the stores bypass the
    // caches (no read of each output line before it is written), which saves a third of
    // the memory traffic of a large result. Call finish_streaming() before the output
    // is handed to another thread.
    QUILLMOOR_RACY_READ void stream_row(std::size_t row, double* out) const noexcept {
#if defined(__x86_64__)
        const char* in = address(row, 0);
        for (std::size_t col = 0; col < cols_; ++col) {
            long long bits = 0;
            __builtin_memcpy(&bits, in + static_cast<std::ptrdiff_t>(col) * col_stride_, sizeof bits);
            _mm_stream_si64(reinterpret_cast<long long*>(out + col), bits);  // NOLINT: the store's own type
        }
#else
        copy_row(row, out);
#endif
    }

    static void finish_streaming() noexcept {
#if defined(__x86_64__)
        _mm_sfence();
#endif
    }

private:
    // The value as loaded, in registers the compiler must assume changed: it can neither
    // reload it from the table nor fold it into a later load. At most a register move.
    static std::uint64_t pinned(std::uint64_t bits) noexcept {
#if UINTPTR_MAX > 0xFFFFFFFFU
        asm("" : "+r"(bits));  // NOLINT(hicpp-no-assembler)
        return bits;
#else
        // 32-bit targets: one machine word at a time.
        auto low = static_cast<std::uint32_t>(bits);
        auto high = static_cast<std::uint32_t>(bits >> 32U);
        asm("" : "+r"(low), "+r"(high));  // NOLINT(hicpp-no-assembler)
        return (static_cast<std::uint64_t>(high) << 32U) | low;
#endif
    }

    const char* address(std::size_t row, std::size_t col) const noexcept {
        return data_ + static_cast<std::ptrdiff_t>(row) * row_stride_ +
               static_cast<std::ptrdiff_t>(col) * col_stride_;
    }
    const char* cell(std::size_t row, std::size_t col) const noexcept {
        return columns_[col].data + static_cast<std::ptrdiff_t>(row) * columns_[col].stride;
    }

    // A decision column as kept here.
    struct ColumnBytes {
        const char* data = nullptr;
        std::ptrdiff_t stride = 0;
    };

    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    // Whole rows: the layout of every column.
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 0;
    const char* data_ = nullptr;
    bool whole_rows_ = false;
    // Both kinds: the decision columns that exist (a narrower table has fewer).
    std::array<ColumnBytes, DECISION_COLUMNS> columns_{};
};

}  // namespace quillmoor
