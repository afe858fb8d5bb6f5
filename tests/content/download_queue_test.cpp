#include "content/download_queue.h"

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include "content/playlist.h"
#include "support/manual_clock.h"

namespace lumetta {
namespace {

DownloadTask taskFor(std::uint64_t groupId, const std::string& name = "a.png") {
    return DownloadTask{"http://127.0.0.1:9/" + name, "/content/" + name, 640, 360, "00", groupId};
}

// A picture that claims a few bytes; the cache only counts and frees it.
SDL_Surface* smallSurface() {
    SDL_Surface* surface = SDL_CreateSurface(4, 4, SDL_PIXELFORMAT_ARGB8888);
    EXPECT_NE(surface, nullptr) << SDL_GetError();
    return surface;
}

struct QueueFixture : ::testing::Test {
    PreparedImageCache cache;
    testing::ManualClock clock;
    ThreadSafeQueue queue{cache, clock};
};

using DownloadQueueTest = QueueFixture;

TEST_F(DownloadQueueTest, TasksLeaveInOrderAndAStoppedQueueStillDrains) {
    ASSERT_TRUE(queue.push(taskFor(0, "1.png")));
    ASSERT_TRUE(queue.push(taskFor(0, "2.png")));
    queue.stop();

    // Refused after the stop, with every count as it was.
    EXPECT_FALSE(queue.push(taskFor(7, "3.png")));
    EXPECT_EQ(queue.queuedTaskCount(), 2u);
    EXPECT_EQ(queue.pendingTotal(), 2u);
    EXPECT_FALSE(queue.group(7).has_value());

    DownloadTask task;
    ASSERT_TRUE(queue.pop(task));
    EXPECT_EQ(task.targetPath, "/content/1.png");
    ASSERT_TRUE(queue.pop(task));
    EXPECT_EQ(task.targetPath, "/content/2.png");
    EXPECT_FALSE(queue.pop(task));
    // Popping is not completing.
    EXPECT_EQ(queue.pendingTotal(), 2u);
}

TEST_F(DownloadQueueTest, AWaitingWorkerWakesForATaskAndForTheStop) {
    auto first = std::async(std::launch::async, [&] {
        DownloadTask task;
        return queue.pop(task) ? task.targetPath : std::string("(none)");
    });
    ASSERT_TRUE(queue.push(taskFor(0, "late.png")));
    EXPECT_EQ(first.get(), "/content/late.png");

    auto second = std::async(std::launch::async, [&] {
        DownloadTask task;
        return queue.pop(task);
    });
    queue.stop();
    EXPECT_FALSE(second.get());
}

TEST_F(DownloadQueueTest, GroupCountsNeverGoBelowZeroAndAFailureSticks) {
    const std::uint64_t id = queue.createGroup();
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(queue.createGroup(), 2u);  // never reused, never 0

    // A group that never got a task is done and succeeded.
    EXPECT_TRUE(queue.waitForGroup(id, 0));
    EXPECT_TRUE(queue.groupSucceeded(id));

    ASSERT_TRUE(queue.push(taskFor(id)));
    ASSERT_TRUE(queue.push(taskFor(id)));
    ASSERT_TRUE(queue.push(taskFor(0)));
    EXPECT_EQ(queue.group(id)->pending, 2u);
    EXPECT_EQ(queue.pendingTotal(), 3u);
    EXPECT_FALSE(queue.groupSucceeded(id));  // pending

    queue.completeTask(id, false);
    queue.completeTask(id, true);
    EXPECT_EQ(queue.group(id)->pending, 0u);
    EXPECT_TRUE(queue.group(id)->failed);
    EXPECT_FALSE(queue.groupSucceeded(id));

    // Misuse: a completion too many, for group 0 and for an unknown group. The group stays,
    // still failed; no count wraps round.
    queue.completeTask(id, true);
    queue.completeTask(0, true);
    queue.completeTask(99, true);
    queue.completeTask(0, true);
    EXPECT_EQ(queue.pendingTotal(), 0u);
    ASSERT_TRUE(queue.group(id).has_value());
    EXPECT_EQ(queue.group(id)->pending, 0u);
    EXPECT_TRUE(queue.group(id)->failed);
    EXPECT_FALSE(queue.group(99).has_value());

    // Pushing under an id without a group makes the group.
    ASSERT_TRUE(queue.push(taskFor(42)));
    EXPECT_EQ(queue.group(42)->pending, 1u);
    EXPECT_FALSE(queue.waitForGroup(42, 0));
    EXPECT_TRUE(queue.waitForGroup(0, 0));
    EXPECT_FALSE(queue.groupSucceeded(0));
}

TEST_F(DownloadQueueTest, ErasingAnIdleGroupDropsItAndUnknownOrRepeatedErasesChangeNothing) {
    const std::uint64_t id = queue.createGroup();
    const std::uint64_t other = queue.createGroup();
    ASSERT_TRUE(queue.push(taskFor(other)));
    queue.eraseGroup(id);
    EXPECT_FALSE(queue.group(id).has_value());
    queue.eraseGroup(id);
    queue.eraseGroup(12345);
    ASSERT_TRUE(queue.group(other).has_value());
    EXPECT_EQ(queue.group(other)->pending, 1u);
    EXPECT_FALSE(queue.group(other)->abandoned);
    EXPECT_EQ(queue.pendingTotal(), 1u);
}

// A playlist let go while three of its pictures are on their way: its group lingers until
// the third completes, and until then every picture of its generation is refused.
TEST_F(DownloadQueueTest, AnAbandonedGroupGoesWithItsLastTaskAndOnlyThenIsItsIdUnreleased) {
    const std::uint64_t id = queue.createGroup();
    for (const char* name : {"1.png", "2.png", "3.png"}) ASSERT_TRUE(queue.push(taskFor(id, name)));
    cache.store("/content/0.png", smallSurface(), id);
    cache.store("/content/other.png", smallSurface(), id + 1);

    {
        auto playlist = std::make_unique<Playlist>(queue);
        playlist->downloadGroupId = id;
        playlist->preparedImageId = id;
    }
    ASSERT_TRUE(queue.group(id).has_value());
    EXPECT_TRUE(queue.group(id)->abandoned);
    EXPECT_EQ(queue.group(id)->pending, 3u);
    EXPECT_FALSE(cache.contains("/content/0.png"));
    EXPECT_TRUE(cache.contains("/content/other.png"));
    EXPECT_TRUE(cache.isReleased(id));

    queue.completeTask(id, true);
    cache.store("/content/1.png", smallSurface(), id);  // a late picture: refused
    EXPECT_FALSE(cache.contains("/content/1.png"));
    queue.completeTask(id, false);
    EXPECT_TRUE(queue.group(id).has_value());
    EXPECT_TRUE(cache.isReleased(id));

    queue.completeTask(id, true);
    EXPECT_FALSE(queue.group(id).has_value());
    EXPECT_FALSE(cache.isReleased(id));
    EXPECT_EQ(queue.pendingTotal(), 0u);
}

TEST_F(DownloadQueueTest, EvictingAnIdleGenerationLeavesNothingReleased) {
    const std::uint64_t id = queue.createGroup();
    cache.store("/content/a.png", smallSurface(), id);
    queue.evictPreparedImages(id);
    EXPECT_FALSE(cache.contains("/content/a.png"));
    EXPECT_FALSE(cache.isReleased(id));

    // A generation whose group is gone behaves the same; 0 touches nothing.
    cache.store("/content/b.png", smallSurface(), 0);
    queue.evictPreparedImages(777);
    queue.evictPreparedImages(0);
    EXPECT_FALSE(cache.isReleased(777));
    EXPECT_FALSE(cache.isReleased(0));
    EXPECT_TRUE(cache.contains("/content/b.png"));
}

using PlaylistDownloadsTest = QueueFixture;

TEST_F(PlaylistDownloadsTest, WaitingAndSuccessFollowTheGroup) {
    Playlist playlist(queue);
    // No group: done at once, but not a success.
    EXPECT_TRUE(playlist.waitForDownloads(0));
    EXPECT_FALSE(playlist.downloadsSucceeded());

    playlist.downloadGroupId = playlist.preparedImageId = queue.createGroup();
    ASSERT_TRUE(queue.push(taskFor(playlist.downloadGroupId)));
    EXPECT_FALSE(playlist.waitForDownloads(0));

    // A timed wait ends at its deadline on the playlist's clock.
    auto timedOut = std::async(std::launch::async, [&] { return playlist.waitForDownloads(100); });
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(99);
    EXPECT_EQ(timedOut.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    clock.advance(1);
    EXPECT_FALSE(timedOut.get());

    // A completion wakes a waiter long before its deadline.
    auto woken = std::async(std::launch::async, [&] { return playlist.waitForDownloads(60'000); });
    ASSERT_TRUE(clock.waitForWaiters(1));
    queue.completeTask(playlist.downloadGroupId, true);
    EXPECT_TRUE(woken.get());
    EXPECT_TRUE(playlist.downloadsSucceeded());

    // Released: the group is gone from the handle.
    const std::uint64_t id = playlist.downloadGroupId;
    playlist.releaseDownloads();
    EXPECT_EQ(playlist.downloadGroupId, 0u);
    EXPECT_FALSE(queue.group(id).has_value());
    EXPECT_FALSE(playlist.downloadsSucceeded());
    EXPECT_TRUE(playlist.waitForDownloads(0));
    playlist.releaseDownloads();  // twice: nothing more happens
}

TEST_F(PlaylistDownloadsTest, WaitingForTheWholeQueueEndsWhenNothingIsPending) {
    ASSERT_TRUE(queue.push(taskFor(0)));
    EXPECT_FALSE(queue.waitUntilNothingPending(0));
    auto waiting = std::async(std::launch::async, [&] { return queue.waitUntilNothingPending(50); });
    ASSERT_TRUE(clock.waitForWaiters(1));
    queue.completeTask(0, true);
    EXPECT_TRUE(waiting.get());
}

TEST(PlaylistAccessors, AnEmptyOrShortPlaylistThrowsOutOfRange) {
    Playlist empty;
    EXPECT_EQ(empty.slideCount(), 0u);
    EXPECT_EQ(empty.name(), "");
    EXPECT_THROW(empty.slideAt(0), std::out_of_range);

    Playlist playlist;
    playlist.content.emplace();
    playlist.content->name = "Lobby";
    playlist.content->slides.resize(2);
    playlist.content->slides[1].id = "second";
    EXPECT_EQ(playlist.name(), "Lobby");
    EXPECT_EQ(playlist.slideAt(1).id, "second");
    EXPECT_THROW(playlist.slideAt(2), std::out_of_range);
    EXPECT_EQ(playlist.tickerMessageCount(), 0u);
    EXPECT_THROW(playlist.tickerMessageAt(0), std::out_of_range);
}

}  // namespace
}  // namespace lumetta
