#include "merge_engine/progress/duration_text.hpp"

#include <array>
#include <cstdio>
#include <limits>

namespace quillmoor {

std::string format_elapsed_precise(std::chrono::nanoseconds elapsed) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    const long long total = seconds < 0 ? 0 : static_cast<long long>(seconds);
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%02lld:%02lld:%02lld", total / 3600,
                  total / 60 % 60, total % 60);
    return text.data();
}

std::optional<std::chrono::nanoseconds> estimate_remaining(std::uint64_t position,
                                                           std::uint64_t length,
                                                           std::chrono::nanoseconds elapsed) {
    if (position >= length) {
        return std::chrono::nanoseconds::zero();
    }
    if (position == 0) {
        return std::nullopt;
    }
    // In double: the product of a long elapsed time and a large count overflows 64 bits.
    const double remaining = static_cast<double>(elapsed.count()) *
                             static_cast<double>(length - position) /
                             static_cast<double>(position);
    constexpr auto longest = std::numeric_limits<std::chrono::nanoseconds::rep>::max();
    if (!(remaining < static_cast<double>(longest))) {
        return std::chrono::nanoseconds(longest);
    }
    return std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(remaining));
}

namespace {

constexpr long long SECONDS_PER_MINUTE = 60;
constexpr long long SECONDS_PER_HOUR = 60 * SECONDS_PER_MINUTE;
constexpr long long SECONDS_PER_DAY = 24 * SECONDS_PER_HOUR;

}  // namespace

std::string format_eta(std::optional<std::chrono::nanoseconds> remaining) {
    if (!remaining.has_value()) {
        return "?";
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*remaining).count();
    const long long total = seconds < 0 ? 0 : static_cast<long long>(seconds);
    if (total < SECONDS_PER_MINUTE) {
        return std::to_string(total) + "s";
    }
    if (total < SECONDS_PER_HOUR) {
        return std::to_string(total / SECONDS_PER_MINUTE) + "m";
    }
    if (total < SECONDS_PER_DAY) {
        return std::to_string(total / SECONDS_PER_HOUR) + "h";
    }
    return std::to_string(total / SECONDS_PER_DAY) + "d";
}

}  // namespace quillmoor
