#include "merge_engine/internal_error.hpp"

#include "merge_engine/stderr_channel.hpp"

#include <pthread.h>

#include <array>
#include <limits>

namespace quillmoor {

namespace {

std::string current_thread_name() {
    std::array<char, 64> name{};
    if (pthread_getname_np(pthread_self(), name.data(), name.size()) == 0 && name[0] != '\0') {
        return name.data();
    }
    return "<unnamed>";
}

}  // namespace

void raise_internal_error(const std::string& text, std::source_location where) {
    stderr_channel::write_report("thread '" + current_thread_name() + "' failed at " +
                                 where.file_name() + ":" + std::to_string(where.line()) +
                                 ":\n" + text);
    throw InternalError(text);
}

std::size_t checked_element_count(std::size_t rows, std::size_t cols) {
    if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / sizeof(double) / cols) {
        raise_internal_error("matrix of " + std::to_string(rows) + " x " + std::to_string(cols) +
                             " values does not fit in memory");
    }
    return rows * cols;
}

}  // namespace quillmoor
