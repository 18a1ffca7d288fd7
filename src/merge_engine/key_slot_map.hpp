#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmoor {

// Maps 64-bit keys to dense slot numbers 0, 1, 2, ... in order of first insertion.
// Open addressing with linear probing: the point index looks up one key per point
// record, so this lookup is the hottest loop of the call.
class KeySlotMap {
public:
    static constexpr std::uint32_t NO_SLOT = UINT32_MAX;

    explicit KeySlotMap(std::size_t expected_keys);

    // The key's slot, newly numbered if the key is new.
    std::uint32_t insert(std::uint64_t key);
    // The key's slot, or NO_SLOT.
    std::uint32_t find(std::uint64_t key) const noexcept { return find_tagged(key).slot; }

    // A slot and the tag given to it (NO_SLOT and NO_TAG for a key not in the map): one
    // probe answers both, where a separate table indexed by slot would be another cache
    // miss per lookup.
    struct TaggedSlot {
        std::uint32_t slot;
        std::uint32_t tag;
    };
    static constexpr std::uint32_t NO_TAG = UINT32_MAX;
    TaggedSlot find_tagged(std::uint64_t key) const noexcept {
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            const Entry& e = entries_[i];
            if (e.slot == NO_SLOT || e.key == key) {
                return {e.slot, e.tag};
            }
        }
    }
    // Sets the tag of every slot s to tag_of_slot(s).
    template <typename TagOfSlot>
    void tag_slots(TagOfSlot&& tag_of_slot) {
        for (Entry& e : entries_) {
            if (e.slot != NO_SLOT) {
                e.tag = tag_of_slot(e.slot);
            }
        }
    }
    // Fetches the cache line where a lookup of `key` starts.
    void prefetch(std::uint64_t key) const noexcept { __builtin_prefetch(&entries_[home(key)]); }
    std::size_t size() const noexcept { return size_; }

private:
    struct Entry {
        std::uint64_t key = 0;
        std::uint32_t slot = NO_SLOT;
        std::uint32_t tag = NO_TAG;  // in the padding the key leaves
    };

    std::size_t home(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
    }

    std::vector<Entry> entries_;
    std::size_t mask_ = 0;
    unsigned shift_ = 0;
    std::size_t size_ = 0;
};

}  // namespace quillmoor
