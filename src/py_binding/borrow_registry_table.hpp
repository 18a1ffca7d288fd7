#pragma once

// The process-wide registry of array borrows, kept in a capsule on NumPy's multiarray
// module so that every copy of this extension in the process (and anything else that
// speaks this layout) sees the same borrows. The layout is versioned: a registry with
// another version is refused rather than misread.

#include <cstddef>
#include <cstdint>

namespace quillmoor::py {

inline constexpr const char* BORROW_REGISTRY_ATTRIBUTE = "_quillmoor_borrow_registry";
inline constexpr const char* BORROW_REGISTRY_CAPSULE_NAME = "quillmoor._native.borrow_registry";
inline constexpr std::uint64_t BORROW_REGISTRY_VERSION = 1;

// Return codes of the registry's functions.
inline constexpr int BORROW_OK = 0;
inline constexpr int BORROW_REFUSED = -1;       // a write borrow overlaps (never for us)
inline constexpr int BORROW_REGISTRY_FAULT = -2;  // the registry itself failed
inline constexpr int BORROW_NOT_HELD = -3;      // release of a borrow that was never taken

// A borrow is registered under the array's base object (the last ndarray reached through
// `base` links) and the byte range [start, end) that the array spans.
struct BorrowKey {
    std::uintptr_t base = 0;
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
};

struct BorrowRegistryTable {
    std::uint64_t version;
    void* state;
    int (*acquire_read)(void* state, const BorrowKey* key) noexcept;
    int (*release_read)(void* state, const BorrowKey* key) noexcept;
    // Read borrows currently held, counting every holder.
    std::size_t (*read_borrow_count)(void* state) noexcept;
};

}  // namespace quillmoor::py
