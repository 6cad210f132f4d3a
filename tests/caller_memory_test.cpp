// Guarded copies of caller memory, through process_vm_* and through the pipe fallback.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/caller_memory.h"
#include "support/pages.h"

namespace korval {
namespace {

class Guard : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        use_pipe_copies(GetParam());
        page_ = test::page_size();
        region_ = test::map_pages(3, test::PageAccess::read_write);
        ASSERT_NE(region_, nullptr);
        for (size_t i = 0; i < 3 * page_; ++i) region_[i] = static_cast<uint8_t>(i);
        test::protect_pages(region_ + page_, 1, test::PageAccess::none);
        test::protect_pages(region_ + 2 * page_, 1, test::PageAccess::read);
    }
    void TearDown() override
    {
        test::unmap_pages(region_, 3);
        use_pipe_copies(false);
    }
    size_t page_ = 0;
    uint8_t* region_ = nullptr;
};

TEST_P(Guard, CopiesAccessibleMemoryWhole)
{
    // Larger than a pipe piece, to cross the fallback's piece boundaries.
    std::vector<uint8_t> source(70000), target(70000, 0);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7);
    EXPECT_TRUE(copy_from_caller(target.data(), source.data(), source.size()));
    EXPECT_EQ(target, source);
    std::fill(target.begin(), target.end(), 0);
    EXPECT_TRUE(copy_to_caller(target.data(), source.data(), source.size()));
    EXPECT_EQ(target, source);
    EXPECT_TRUE(copy_from_caller(nullptr, nullptr, 0));
}

TEST_P(Guard, RefusesRangesThatReachAnInaccessiblePage)
{
    uint8_t buffer[64] = {};
    EXPECT_FALSE(copy_from_caller(buffer, region_ + page_, 8));
    EXPECT_FALSE(copy_from_caller(buffer, region_ + page_ - 8, 16));  // straddles into the hole
    EXPECT_FALSE(copy_from_caller(buffer, nullptr, 8));
    EXPECT_TRUE(copy_from_caller(buffer, region_ + page_ - 8, 8));
    EXPECT_FALSE(copy_to_caller(region_ + 2 * page_, buffer, 8));  // read-only
    EXPECT_FALSE(copy_to_caller(region_ + page_ - 4, buffer, 8));
    EXPECT_TRUE(copy_from_caller(buffer, region_ + 2 * page_, 8));
    // After a refusal the next copy is whole again (the fallback's pipe holds nothing left over).
    uint8_t again[8];
    EXPECT_TRUE(copy_from_caller(again, region_, 8));
    EXPECT_EQ(std::memcmp(again, region_, 8), 0);
}

INSTANTIATE_TEST_SUITE_P(Ways, Guard, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pipe" : "ProcessVm"; });

}  // namespace
}  // namespace korval
