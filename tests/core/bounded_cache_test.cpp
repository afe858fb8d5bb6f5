#include "core/bounded_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumetta {
namespace {

using Cache = BoundedCache<std::shared_ptr<int>>;

std::string keys(const Cache& cache, const std::vector<std::string>& candidates) {
    std::string present;
    for (const std::string& key : candidates) {
        if (cache.contains(key)) present += key;
    }
    return present;
}

TEST(BoundedCache, FirstStoredGoesFirstPastEitherLimit) {
    // At most three entries and ten bytes.
    Cache cache(3, 10);
    const std::vector<std::string> all = {"a", "b", "c", "d", "e", "f"};
    const struct {
        const char* key;  // "-x" takes x out, "+x" stores x
        std::size_t bytes;
        const char* present;
        std::size_t byteCount;
    } steps[] = {
        {"+a", 2, "a", 2},
        {"+b", 2, "ab", 4},
        {"+c", 2, "abc", 6},
        {"+d", 2, "bcd", 6},     // the fourth entry pushes out the first
        {"+b", 5, "bcd", 9},     // a replacement keeps its place...
        {"+e", 1, "cde", 5},     // ...so b still goes next
        {"+f", 8, "ef", 9},      // c goes for the count, d for the bytes
        {"-e", 0, "f", 8},
        {"+e", 1, "ef", 9},      // taken out and stored again: last in the order...
        {"+a", 2, "ae", 3},      // ...so f goes first
        {"+a", 11, "", 0},       // above the byte limit alone: everything goes, itself too
        {"+a", 10, "a", 10},     // exactly at the limit stays
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.key);
        const std::string key = step.key + 1;
        if (step.key[0] == '+') {
            (void)cache.store(key, std::make_shared<int>(static_cast<int>(step.bytes)), step.bytes);
        } else {
            EXPECT_TRUE(cache.take(key));
        }
        EXPECT_EQ(keys(cache, all), step.present);
        EXPECT_EQ(cache.byteCount(), step.byteCount);
        EXPECT_EQ(cache.entryCount(), std::string(step.present).size());
    }
    EXPECT_FALSE(cache.take("missing"));
    EXPECT_FALSE(cache.find("missing"));
    ASSERT_TRUE(cache.find("a"));
    EXPECT_EQ(*cache.find("a"), 10);
}

TEST(BoundedCache, StoreAndEraseHandBackWhatLeft) {
    Cache cache(2, 100);
    EXPECT_TRUE(cache.store("a", std::make_shared<int>(1), 1).empty());
    EXPECT_TRUE(cache.store("b", std::make_shared<int>(2), 1).empty());
    const Cache::Released replaced = cache.store("a", std::make_shared<int>(3), 1);
    ASSERT_EQ(replaced.size(), 1u);
    EXPECT_EQ(*replaced[0], 1);
    const Cache::Released evicted = cache.store("c", std::make_shared<int>(4), 1);
    ASSERT_EQ(evicted.size(), 1u);
    EXPECT_EQ(*evicted[0], 3);

    const Cache::Released erased = cache.eraseIf([](const std::shared_ptr<int>& value) { return *value % 2 == 0; });
    EXPECT_EQ(erased.size(), 2u);
    EXPECT_EQ(cache.entryCount(), 0u);
    EXPECT_EQ(cache.byteCount(), 0u);
}

// A value whose destructor asks the cache something from another thread: if the cache freed it
// under its lock, that question would wait until the lock is released.
struct Tracker {
    struct Shared {
        std::mutex mutex;
        std::condition_variable answered;
        bool done = false;
    };
    BoundedCache<std::shared_ptr<Tracker>>* cache = nullptr;
    std::vector<bool>* freedOutsideLock = nullptr;

    ~Tracker() {
        auto shared = std::make_shared<Shared>();
        std::thread([cache = cache, shared] {
            cache->entryCount();
            std::lock_guard lock(shared->mutex);
            shared->done = true;
            shared->answered.notify_all();
        }).detach();
        std::unique_lock lock(shared->mutex);
        freedOutsideLock->push_back(
            shared->answered.wait_for(lock, std::chrono::seconds(5), [&] { return shared->done; }));
    }
};

TEST(BoundedCache, ValuesAreFreedOutsideTheLock) {
    // Static: a question left waiting by a faulty cache may still reach it after the test.
    static BoundedCache<std::shared_ptr<Tracker>> cache(1, 100);
    std::vector<bool> outcomes;
    const auto tracker = [&] {
        auto value = std::make_shared<Tracker>();
        value->cache = &cache;
        value->freedOutsideLock = &outcomes;
        return value;
    };
    (void)cache.store("a", tracker(), 1);
    (void)cache.store("a", tracker(), 1);  // replaced
    (void)cache.store("b", tracker(), 1);  // evicts a
    (void)cache.eraseIf([](const auto&) { return true; });
    EXPECT_EQ(outcomes, std::vector<bool>({true, true, true}));
}

}  // namespace
}  // namespace lumetta
