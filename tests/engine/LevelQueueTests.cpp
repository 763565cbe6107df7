#include "engine/LevelQueue.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrelamp {
namespace {

std::vector<float> drainAll(LevelQueue& queue) {
    std::vector<float> levels;
    const std::size_t count = queue.drain([&](float level) { levels.push_back(level); });
    EXPECT_EQ(count, levels.size());
    return levels;
}

TEST(LevelQueue, AFullQueueDropsTheOldestLevels) {
    LevelQueue queue;
    EXPECT_TRUE(drainAll(queue).empty());
    const std::size_t pushed = LevelQueue::kCapacity * 3 + 5;
    for (std::size_t i = 0; i < pushed; ++i) {
        queue.push(float(i));
    }
    const std::vector<float> levels = drainAll(queue);
    ASSERT_EQ(levels.size(), LevelQueue::kCapacity);
    for (std::size_t i = 0; i < levels.size(); ++i) {
        EXPECT_EQ(levels[i], float(pushed - LevelQueue::kCapacity + i));
    }
    EXPECT_TRUE(drainAll(queue).empty());
    queue.push(-1.0f);
    queue.push(-2.0f);
    EXPECT_EQ(drainAll(queue), (std::vector<float>{-1.0f, -2.0f}));
}

} // namespace
} // namespace kestrelamp
