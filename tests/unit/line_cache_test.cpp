#include "runtime/line_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace addongate {
namespace {

using Cache = LineCache<int*>;

TEST(LineCache, EmptyCacheMissesAndLineZeroIsNeverStored) {
  Cache cache;
  EXPECT_EQ(cache.find(83), nullptr);
  int code = 0;
  EXPECT_FALSE(cache.insert(0, &code, "f"));
  EXPECT_EQ(cache.count(), 0);
  EXPECT_EQ(cache.capacity(), 0);
}

TEST(LineCache, KeepsLinesSortedAndFindsEachOne) {
  Cache cache;
  std::vector<int> lines;
  for (int i = 1; i <= 150; ++i) lines.push_back(i * 3);
  std::shuffle(lines.begin(), lines.end(), std::mt19937(7));
  std::vector<int> codes(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(cache.find(lines[i]), nullptr);
    ASSERT_TRUE(cache.insert(lines[i], &codes[i], "f"));
  }
  EXPECT_EQ(cache.count(), 150);
  EXPECT_EQ(cache.capacity(), 192);  // grows in steps of 64
  for (int32_t i = 1; i < cache.count(); ++i) EXPECT_LT(cache.at(i - 1).line, cache.at(i).line);
  for (size_t i = 0; i < lines.size(); ++i) {
    const Cache::Entry* hit = cache.find(lines[i]);
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->code, &codes[i]);
  }
  EXPECT_EQ(cache.find(4), nullptr);     // between two lines
  EXPECT_EQ(cache.find(1000), nullptr);  // past the last
  EXPECT_EQ(cache.lower_bound(1000), 150);
  EXPECT_EQ(cache.lower_bound(1), 0);
}

TEST(LineCache, RemembersTheNameEachLineWasMadeFor) {
  Cache cache;
  int a = 0;
  ASSERT_TRUE(cache.insert(25, &a, "init addonGate"));
  EXPECT_STREQ(cache.find(25)->name, "init addonGate");
}

}  // namespace
}  // namespace addongate
