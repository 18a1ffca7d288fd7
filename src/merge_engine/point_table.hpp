#pragma once

#include "merge_engine/owned_matrix.hpp"

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
class PointTable {
public:
    PointTable() = default;
    // NOLINTBEGIN(bugprone-easily-swappable-parameters): shape, then strides, as NumPy's
    PointTable(std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride_bytes,
               std::ptrdiff_t col_stride_bytes, const void* data) noexcept
        : rows_(rows),
          cols_(cols),
          row_stride_(row_stride_bytes),
          col_stride_(col_stride_bytes),
          data_(static_cast<const char*>(data)) {}
    // NOLINTEND(bugprone-easily-swappable-parameters)

    // A view of an owned matrix (which must outlive the view).
    static PointTable of(const OwnedMatrix& matrix) noexcept {
        constexpr auto element = static_cast<std::ptrdiff_t>(sizeof(double));
        return {matrix.rows(), matrix.cols(), matrix.row_stride() * element,
                matrix.col_stride() * element, matrix.data()};
    }

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }

    // One read of element (row, col), unchecked. The value is final: the compiler may
    // not read the cell again in its place.
    QUILLMOOR_RACY_READ double operator()(std::size_t row, std::size_t col) const noexcept {
        std::uint64_t bits = 0;
        std::memcpy(&bits, address(row, col), sizeof bits);
        return std::bit_cast<double>(pinned(bits));
    }

    // Copies row `row`, every column, to `out`. Another thread may change the row
    // meanwhile; the copy then holds values as they were read, cell by cell.
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

    // Asks for the cache lines of row `row` (its first and last cell) ahead of a read.
    void prefetch_row(std::size_t row) const noexcept {
        if (cols_ != 0) {
            __builtin_prefetch(address(row, 0));
            __builtin_prefetch(address(row, cols_ - 1));
        }
    }

    // copy_row into output that is not read again soon: on x86-64 the stores bypass the
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

    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 0;
    const char* data_ = nullptr;
};

}  // namespace quillmoor
