#include "merge_engine/allocation_failure.hpp"
#include "merge_engine/internal_error.hpp"
#include "merge_engine/matrix_buffer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillmoor {
namespace {

std::string failure_text(const std::function<void()>& body) {
    try {
        body();
    } catch (const InternalError& error) {
        return error.what();
    }
    return "no failure";
}

TEST(AllocationFailure, StandardLibraryFailuresBecomeOurText) {
    // std::length_error ("vector::_M_default_append"): more entries than any vector of
    // this machine word may hold, whatever the C++ library or how much memory there is.
    const std::size_t huge = std::size_t{1} << (sizeof(std::size_t) * 8 - 2);
    EXPECT_EQ(failure_text([&] {
                  std::vector<std::uint64_t> table;
                  allocate_named("the test table", huge, 8, [&] { table.resize(huge); });
              }),
              "could not allocate the test table: " + std::to_string(huge) +
                  " entries of 8 bytes exceed the address space");
    // std::bad_alloc.
    EXPECT_EQ(failure_text([] {
                  allocate_named("the test table", 3, 4, [] { throw std::bad_alloc(); });
              }),
              "could not allocate 12 bytes for the test table (3 entries of 4 bytes)");
}

TEST(AllocationFailure, SizesBeyondTheMachineWordSaySo) {
    const std::size_t count = SIZE_MAX / 2;
    EXPECT_EQ(failure_text([&] { raise_allocation_failure("the test table", count, 16); }),
              "could not allocate the test table: " + std::to_string(count) +
                  " entries of 16 bytes exceed the address space");
}

TEST(AllocationFailure, OtherFailuresPassUnchanged) {
    EXPECT_THROW(allocate_named("t", 1, 1, [] { throw std::out_of_range("x"); }),
                 std::out_of_range);
}

TEST(AllocationFailure, MatrixBufferBeyondTheAddressSpaceFailsInsteadOfWrapping) {
    EXPECT_THROW(allocate_matrix_buffer(SIZE_MAX / 4), std::bad_alloc);
}

}  // namespace
}  // namespace quillmoor
