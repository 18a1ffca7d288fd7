// Placeholder until the merge engine lands: fails every call.
#include "merge_engine/internal_error.hpp"
#include "merge_engine/merge_engine.hpp"

namespace quillmoor {

OwnedMatrix multithreaded_merging(const OwnedMatrix&, const OwnedMatrix&, const OwnedMatrix&,
                                  double, std::size_t) {
    raise_internal_error("merge engine not built yet");
}

}  // namespace quillmoor
