#include "merge_engine/stderr_channel.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace quillmoor::stderr_channel {

namespace {

std::mutex channel_mutex;
bool bar_line_on_screen = false;  // guarded by channel_mutex

// write() is a cancellation point; these writes happen inside catch handlers and
// destructors, where a thread's forced unwind must not start. So a cancellation
// waits until the write is done.
class NoCancellation {
public:
    NoCancellation() noexcept { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
    ~NoCancellation() { pthread_setcancelstate(previous_, nullptr); }
    NoCancellation(const NoCancellation&) = delete;
    NoCancellation& operator=(const NoCancellation&) = delete;

private:
    int previous_ = PTHREAD_CANCEL_ENABLE;
};

// Best effort: standard error may be closed or full; a lost report must not fail the call.
void write_all(std::string_view bytes) {
    const NoCancellation no_cancellation;
    while (!bytes.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (written == 0) {  // no progress and no error: give up rather than spin
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

constexpr std::string_view ERASE_LINE = "\r\x1b[2K";

}  // namespace

void write_report(std::string_view text) {
    const std::lock_guard lock(channel_mutex);
    std::string out;
    if (bar_line_on_screen) {
        out += ERASE_LINE;
        bar_line_on_screen = false;
    }
    out += text;
    out += '\n';
    write_all(out);
}

void write_bar_line(std::string_view line) {
    const std::lock_guard lock(channel_mutex);
    std::string out(ERASE_LINE);
    out += line;
    write_all(out);
    bar_line_on_screen = true;
}

void clear_bar_line() {
    const std::lock_guard lock(channel_mutex);
    if (bar_line_on_screen) {
        write_all(ERASE_LINE);
        bar_line_on_screen = false;
    }
}

void leave_bar_line() {
    const std::lock_guard lock(channel_mutex);
    if (bar_line_on_screen) {
        write_all("\n");
        bar_line_on_screen = false;
    }
}

}  // namespace quillmoor::stderr_channel
