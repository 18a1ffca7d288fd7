#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quillmoor {

// "HH:MM:SS", whole seconds rounded down; hours grow past two digits when needed.
std::string format_elapsed_precise(std::chrono::nanoseconds elapsed);

// Remaining time at the average rate so far: elapsed * (length - position) / position.
// Zero once position reaches length; nullopt while nothing is done yet.
std::optional<std::chrono::nanoseconds> estimate_remaining(std::uint64_t position,
                                                           std::uint64_t length,
                                                           std::chrono::nanoseconds elapsed);

// The largest whole unit that fits, rounded down: "0s", "59s", "1m", "23h", "3d";
// "?" when unknown.
std::string format_eta(std::optional<std::chrono::nanoseconds> remaining);

}  // namespace quillmoor
