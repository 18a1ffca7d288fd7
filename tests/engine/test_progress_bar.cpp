#include "merge_engine/progress/progress_bar.hpp"
#include "merge_engine/progress/redraw_rate_limiter.hpp"
#include "merge_engine/stderr_channel.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quillmoor {
namespace {

const std::string ERASE_LINE = "\r\x1b[2K";

// Sends file descriptor 2 to a temporary file for the life of the object.
class StderrCapture {
public:
    StderrCapture() : file_(std::tmpfile(), &std::fclose), saved_fd_(::dup(STDERR_FILENO)) {
        if (!file_ || saved_fd_ < 0 || ::dup2(::fileno(file_.get()), STDERR_FILENO) < 0) {
            ADD_FAILURE() << "cannot redirect standard error";
        }
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture() {
        if (saved_fd_ >= 0) {
            ::dup2(saved_fd_, STDERR_FILENO);
            ::close(saved_fd_);
        }
    }

    std::string text() const {
        std::string out;
        std::rewind(file_.get());
        for (int c = std::fgetc(file_.get()); c != EOF; c = std::fgetc(file_.get())) {
            out += static_cast<char>(c);
        }
        return out;
    }

private:
    std::unique_ptr<FILE, decltype(&std::fclose)> file_;
    int saved_fd_;
};

ProgressBar plain_visible_bar(std::uint64_t length) {
    return {length, DisplayMode{true, false}, ProgressStyle::from_template(PROGRESS_TEMPLATE)};
}

std::size_t count_of(const std::string& text, std::string_view piece) {
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + piece.size())) {
        ++count;
    }
    return count;
}

TEST(ProgressBar, HiddenBarCountsFinishesAndWritesNothing) {
    const StderrCapture capture;
    {
        // Standard error is a file now, so the environment rules hide the bar.
        ProgressBar bar(5);
        EXPECT_FALSE(bar.is_visible());
        bar.increase(2);
        bar.increase(1);
        EXPECT_EQ(bar.position(), 3U);
        bar.finish_with_message(PROGRESS_FINISH_MESSAGE);
        EXPECT_EQ(bar.position(), 5U);
        EXPECT_TRUE(bar.is_finished());
        EXPECT_EQ(bar.message(), "Processing complete");
        const ProgressBar unfinished(4);
    }
    EXPECT_EQ(capture.text(), "");
}

TEST(ProgressBar, FirstRiseDrawsAndFinishLeavesTheLastFrameOnItsLine) {
    const StderrCapture capture;
    {
        ProgressBar bar = plain_visible_bar(3);
        bar.increase(0);  // no rise, no frame
        EXPECT_EQ(capture.text(), "");
        bar.increase(1);
        EXPECT_EQ(capture.text(),
                  ERASE_LINE + "⠁ [00:00:00] [█████████████░░░░░░░░░░░░░░░░░░░░░░░░░░░] 1/3 (0s)");
        bar.finish_with_message(PROGRESS_FINISH_MESSAGE);
        bar.finish_with_message("again");  // a second finish draws nothing more
    }
    const std::string text = capture.text();
    const std::string last_frame =
        ERASE_LINE + "  [00:00:00] [████████████████████████████████████████] 3/3 (0s)\n";
    ASSERT_GE(text.size(), last_frame.size());
    EXPECT_EQ(text.substr(text.size() - last_frame.size()), last_frame);
    EXPECT_EQ(count_of(text, "\n"), 1U);
}

TEST(ProgressBar, UnfinishedBarIsErasedAndAFailureReportErasesItFirst) {
    const StderrCapture capture;
    {
        const ProgressBar never_drawn = plain_visible_bar(3);
    }
    EXPECT_EQ(capture.text(), "");
    {
        ProgressBar bar = plain_visible_bar(3);
        bar.increase(1);
    }
    EXPECT_EQ(capture.text().substr(capture.text().size() - ERASE_LINE.size()), ERASE_LINE);
    const std::size_t before_report = capture.text().size();
    {
        ProgressBar bar = plain_visible_bar(2);
        bar.increase(1);
        stderr_channel::write_report("record 1 failed");
    }
    // The bar is already gone when it is released, so nothing follows the report.
    const std::string text = capture.text().substr(before_report);
    EXPECT_EQ(text.substr(text.find("1/2 (0s)")), "1/2 (0s)" + ERASE_LINE + "record 1 failed\n");
}

TEST(ProgressBar, RedrawsAtMostTwentyTimesASecond) {
    const StderrCapture capture;
    const auto started = std::chrono::steady_clock::now();
    {
        ProgressBar bar = plain_visible_bar(200000);
        for (int k = 0; k < 200000; ++k) {
            bar.increase(1);
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const auto allowed = static_cast<std::size_t>(elapsed / std::chrono::milliseconds(50)) + 1;
    const std::size_t frames = count_of(capture.text(), "/200000 (");
    EXPECT_GE(frames, 1U);
    EXPECT_LE(frames, allowed);

    RedrawRateLimiter limiter(std::chrono::milliseconds(50));
    const auto t0 = RedrawRateLimiter::Clock::now();
    EXPECT_TRUE(limiter.redraw_due(t0));
    limiter.record_redraw(t0);
    EXPECT_FALSE(limiter.redraw_due(t0 + std::chrono::milliseconds(49)));
    EXPECT_TRUE(limiter.redraw_due(t0 + std::chrono::milliseconds(50)));
}

TEST(ProgressBar, ConcurrentIncreasesAreNeverLost) {
    const StderrCapture capture;
    constexpr int threads = 8;
    constexpr std::uint64_t per_thread = 20000;
    for (const bool visible : {false, true}) {
        ProgressBar bar(threads * per_thread, DisplayMode{visible, true},
                        ProgressStyle::from_template(PROGRESS_TEMPLATE));
        std::vector<std::thread> workers;
        workers.reserve(threads);
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&bar] {
                for (std::uint64_t k = 0; k < per_thread; ++k) {
                    bar.increase(1);
                }
            });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        EXPECT_EQ(bar.position(), threads * per_thread) << "visible " << visible;
        bar.finish_with_message(PROGRESS_FINISH_MESSAGE);
    }
    EXPECT_NE(capture.text().find("] 160000/160000 (0s)\n"), std::string::npos);
}

}  // namespace
}  // namespace quillmoor
