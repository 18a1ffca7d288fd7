#include "merge_engine/key_slot_map.hpp"
#include "merge_engine/allocation_failure.hpp"

namespace quillmoor {

KeySlotMap::KeySlotMap(std::size_t expected_keys) {
    // At most half full, so probe runs stay short.
    std::size_t capacity = 16;
    unsigned bits = 4;
    if (expected_keys > entries_.max_size() / 2) {
        raise_allocation_failure("the key table of connected_crop_rows", expected_keys, 2 * sizeof(Entry));
    }
    while (capacity < expected_keys * 2) {
        capacity *= 2;
        ++bits;
    }
    allocate_named("the key table of connected_crop_rows", capacity, sizeof(Entry), [&] { entries_.resize(capacity); });
    mask_ = capacity - 1;
    shift_ = 64U - bits;
}

std::uint32_t KeySlotMap::insert(std::uint64_t key) {
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
        Entry& e = entries_[i];
        if (e.slot == NO_SLOT) {
            e.key = key;
            e.slot = static_cast<std::uint32_t>(size_++);
            return e.slot;
        }
        if (e.key == key) {
            return e.slot;
        }
    }
}

}  // namespace quillmoor
