#include "merge_engine/worker_pool/worker_count.hpp"
#include "merge_engine/worker_pool/worker_pool.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <thread>

namespace quillmoor {
namespace {

using worker_count::available_processors;

// Sets or clears the two variables for one test and puts back what was there before.
class ThreadCountEnvironment {
public:
    ThreadCountEnvironment(const char* num_threads, const char* rs_num_cpus)
        : saved_num_threads_(read("RAYON_NUM_THREADS")),
          saved_rs_num_cpus_(read("RAYON_RS_NUM_CPUS")) {
        assign("RAYON_NUM_THREADS", num_threads);
        assign("RAYON_RS_NUM_CPUS", rs_num_cpus);
    }
    ~ThreadCountEnvironment() {
        assign("RAYON_NUM_THREADS", saved_num_threads_ ? saved_num_threads_->c_str() : nullptr);
        assign("RAYON_RS_NUM_CPUS", saved_rs_num_cpus_ ? saved_rs_num_cpus_->c_str() : nullptr);
    }
    ThreadCountEnvironment(const ThreadCountEnvironment&) = delete;
    ThreadCountEnvironment& operator=(const ThreadCountEnvironment&) = delete;

private:
    static std::optional<std::string> read(const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void assign(const char* name, const char* value) {
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }

    std::optional<std::string> saved_num_threads_;
    std::optional<std::string> saved_rs_num_cpus_;
};

std::size_t processors_capped() { return std::min(available_processors(), MAX_WORKERS); }

TEST(WorkerCount, ExplicitCountWinsOverTheEnvironmentAndIsCapped) {
    const ThreadCountEnvironment env("3", "2");
    EXPECT_EQ(resolve_worker_count(1), 1U);
    EXPECT_EQ(resolve_worker_count(7), 7U);
    EXPECT_EQ(resolve_worker_count(255), 255U);
    EXPECT_EQ(resolve_worker_count(256), 255U);
    EXPECT_EQ(resolve_worker_count(1000), 255U);
}

TEST(WorkerCount, ZeroReadsRayonNumThreadsFirst) {
    {
        const ThreadCountEnvironment env("3", "2");
        EXPECT_EQ(resolve_worker_count(0), 3U);
    }
    {
        const ThreadCountEnvironment env("1000", nullptr);
        EXPECT_EQ(resolve_worker_count(0), 255U);
    }
    {
        const ThreadCountEnvironment env("007", nullptr);
        EXPECT_EQ(resolve_worker_count(0), 7U);
    }
    {
        // The largest machine word still reads as a count (and is capped).
        const std::string size_max = std::to_string(std::numeric_limits<std::size_t>::max());
        const ThreadCountEnvironment env(size_max.c_str(), "2");
        EXPECT_EQ(resolve_worker_count(0), 255U);
    }
    {
        // 0 asks for the default outright: the legacy variable is not consulted.
        const ThreadCountEnvironment env("0", "2");
        EXPECT_EQ(resolve_worker_count(0), processors_capped());
    }
}

TEST(WorkerCount, UnsetOrUnreadableRayonNumThreadsFallsBackToRayonRsNumCpus) {
    for (const char* unreadable : {"garbage", "", "+3", "-3", " 3", "3 ", "3.0", "0x10", "3\n",
                                   "１", "18446744073709551616"}) {
        const ThreadCountEnvironment env(unreadable, "2");
        EXPECT_EQ(resolve_worker_count(0), 2U) << "RAYON_NUM_THREADS='" << unreadable << "'";
    }
    const ThreadCountEnvironment env(nullptr, "5");
    EXPECT_EQ(resolve_worker_count(0), 5U);
}

TEST(WorkerCount, OtherwiseTheProcessorsAvailable) {
    for (const char* legacy : {static_cast<const char*>(nullptr), "0", "two", ""}) {
        const ThreadCountEnvironment env("garbage", legacy);
        EXPECT_EQ(resolve_worker_count(0), processors_capped());
    }
    const ThreadCountEnvironment env(nullptr, nullptr);
    EXPECT_EQ(resolve_worker_count(0), processors_capped());
    EXPECT_GE(resolve_worker_count(0), 1U);
}

TEST(WorkerCount, ProcessorsFollowTheAffinityMask) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    const std::size_t all = available_processors();
    EXPECT_EQ(all, static_cast<std::size_t>(CPU_COUNT(&allowed)));
    int first = 0;
    while (!CPU_ISSET(first, &allowed)) {
        ++first;
    }
    std::size_t pinned = 0;
    std::thread([&] {
        // The mask belongs to the thread: pinning this one leaves the test's alone.
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        if (sched_setaffinity(0, sizeof(one), &one) == 0) {
            pinned = available_processors();
        }
    }).join();
    EXPECT_EQ(pinned, 1U);
}

}  // namespace
}  // namespace quillmoor
