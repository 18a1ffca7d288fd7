#include "merge_engine/worker_pool/worker_count.hpp"

#include "merge_engine/worker_pool/worker_pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>
#include <thread>

namespace quillmoor {

namespace {

// A thread count as written in RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS: one or more ASCII
// digits and nothing else (no sign, no spaces), whose value fits a size_t. Anything else
// counts as not set.
std::optional<std::size_t> parse_thread_count(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    constexpr std::size_t max_value = std::numeric_limits<std::size_t>::max();
    std::size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (max_value - digit) / 10) {
            return std::nullopt;  // too large to be a count at all
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::size_t> count_from_environment(const char* name) {
    const char* text = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read-only use
    if (text == nullptr) {
        return std::nullopt;
    }
    return parse_thread_count(text);
}

std::size_t default_worker_count() {
    if (const auto requested = count_from_environment("RAYON_NUM_THREADS")) {
        // 0 explicitly asks for the default: one thread per available processor.
        return *requested > 0 ? *requested : worker_count::available_processors();
    }
    if (const auto legacy = count_from_environment("RAYON_RS_NUM_CPUS"); legacy && *legacy > 0) {
        return *legacy;
    }
    return worker_count::available_processors();
}

// CPUs in this thread's affinity mask, or 0 when the kernel will not say. The mask may be
// larger than cpu_set_t on very large machines, so the buffer grows until it fits.
std::size_t affinity_processor_count() {
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) {
            return 0;
        }
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const bool ok = sched_getaffinity(0, bytes, set) == 0;
        const int saved_errno = errno;
        const int count = ok ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (ok) {
            return static_cast<std::size_t>(count);
        }
        if (saved_errno != EINVAL) {
            return 0;
        }
    }
    return 0;
}

}  // namespace

std::size_t worker_count::available_processors() {
    if (const std::size_t count = affinity_processor_count(); count > 0) {
        return count;
    }
    if (const long online = sysconf(_SC_NPROCESSORS_ONLN); online > 0) {
        return static_cast<std::size_t>(online);
    }
    if (const unsigned hardware = std::thread::hardware_concurrency(); hardware > 0) {
        return hardware;
    }
    return 1;
}

std::size_t resolve_worker_count(std::size_t num_threads) {
    const std::size_t count = num_threads > 0 ? num_threads : default_worker_count();
    return std::min(count, MAX_WORKERS);
}

}  // namespace quillmoor
