#include "objects/text_preparation.h"

#include <gtest/gtest.h>

#include <future>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <vector>

#include "display/sdl_handles.h"
#include "text_test_support.h"

namespace lumetta {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// Keys

TEST(TextKeys, JobAndRunKeysHaveTheirExactShape) {
    EXPECT_EQ(textJobKey("Lato", 48, 1, {255, 255, 255, 255}, "Hello"), "Lato|48|1|255,255,255,255|Hello");
    EXPECT_EQ(textJobKey("Open Sans", 12, 9, {1, 2, 3, 0}, "a|b\nc"), "Open Sans|12|9|1,2,3,0|a|b\nc");
    const StyledRun run{"Hi there", {10, 20, 30, 40}, true, {1, 1, 1, 1}, 5};
    EXPECT_EQ(textRunKey(textRunKeyPrefix("assets/fonts/Lato-Bold.ttf", 32), run),
              "assets/fonts/Lato-Bold.ttf|32|5|10,20,30,40|Hi there");
}

// ---------------------------------------------------------------------------------------------
// Cache

SurfaceHandle filledSurface(int w, int h, Uint8 r, Uint8 g, Uint8 b) {
    SurfaceHandle surface(SDL_CreateSurface(w, h, SDL_PIXELFORMAT_ABGR8888));
    if (surface) SDL_FillSurfaceRect(surface.get(), nullptr, SDL_MapSurfaceRGBA(surface.get(), r, g, b, 255));
    return surface;
}

Uint8 redAt(SDL_Surface* surface) {
    Uint8 r = 0, g, b, a;
    SDL_ReadSurfacePixel(surface, 0, 0, &r, &g, &b, &a);
    return r;
}

TEST(TextSurfaceCache, EvictsTheFirstStoredKeyPast256Entries) {
    TextSurfaceCache cache;
    for (int i = 0; i < 256; ++i) cache.store("k" + std::to_string(i), filledSurface(1, 1, 1, 0, 0).get());
    EXPECT_EQ(cache.entryCount(), 256u);
    // Replacing the oldest key keeps its place at the front of the eviction order.
    cache.store("k0", filledSurface(1, 1, 99, 0, 0).get());
    EXPECT_EQ(cache.entryCount(), 256u);
    SurfaceHandle replaced(cache.copy("k0"));
    ASSERT_TRUE(replaced);
    EXPECT_EQ(redAt(replaced.get()), 99);
    // A lookup does not refresh either.
    SurfaceHandle(cache.copy("k1"));

    cache.store("k256", filledSurface(1, 1, 1, 0, 0).get());
    EXPECT_EQ(cache.entryCount(), 256u);
    EXPECT_FALSE(cache.contains("k0"));
    EXPECT_TRUE(cache.contains("k1"));
    EXPECT_TRUE(cache.contains("k256"));
    EXPECT_EQ(cache.copy("k0"), nullptr);
}

// The text element copies entries on the render thread while the preloader builds the next
// slide's elements: copies of one entry taken at once are whole and leave the entry intact.
TEST(TextSurfaceCache, SeveralThreadsCopyOneEntryAtOnce) {
    TextSurfaceCache cache;
    SurfaceHandle original = filledSurface(64, 32, 10, 20, 30);
    ASSERT_TRUE(original);
    SDL_SetSurfaceBlendMode(original.get(), SDL_BLENDMODE_BLEND);
    cache.store("shared", original.get());
    std::atomic<int> bad{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 300; ++i) {
                    SurfaceHandle copy(cache.copy("shared"));
                    SDL_BlendMode blend = SDL_BLENDMODE_NONE;
                    if (!copy || copy->w != 64 || copy->h != 32 || redAt(copy.get()) != 10 ||
                        !SDL_GetSurfaceBlendMode(copy.get(), &blend) || blend != SDL_BLENDMODE_BLEND) {
                        ++bad;
                    }
                }
            });
        }
    }
    EXPECT_EQ(bad, 0);
    SurfaceHandle last(cache.copy("shared"));
    ASSERT_TRUE(last);
    EXPECT_EQ(testing::countPixels(last.get(), 10, 20, 30, 255, 0), 64 * 32);
}

TEST(TextSurfaceCache, KeepsAtMost32MiBOfPixels) {
    TextSurfaceCache cache;
    const std::uint64_t eightMiB = 8u << 20;
    SurfaceHandle big = filledSurface(1024, 2048, 5, 5, 5);  // exactly 8 MiB
    ASSERT_TRUE(big);
    ASSERT_EQ(std::uint64_t(big->h) * std::uint64_t(big->pitch), eightMiB);
    for (int i = 0; i < 4; ++i) cache.store("big" + std::to_string(i), big.get());
    EXPECT_EQ(cache.entryCount(), 4u);  // exactly 32 MiB is allowed
    EXPECT_EQ(cache.byteCount(), 4 * eightMiB);
    cache.store("big4", big.get());
    EXPECT_EQ(cache.entryCount(), 4u);
    EXPECT_FALSE(cache.contains("big0"));
    EXPECT_EQ(cache.byteCount(), 4 * eightMiB);

    // Replacing with a smaller surface gives its bytes back.
    cache.store("big1", filledSurface(4, 4, 1, 1, 1).get());
    EXPECT_EQ(cache.byteCount(), 3 * eightMiB + 64);

    // A surface above the limit on its own is stored and at once evicted with everything older.
    cache.store("huge", filledSurface(2048, 4200, 1, 1, 1).get());
    EXPECT_EQ(cache.entryCount(), 0u);
    EXPECT_EQ(cache.byteCount(), 0u);
    cache.store("small", filledSurface(2, 2, 1, 1, 1).get());
    EXPECT_EQ(cache.entryCount(), 1u);
}

TEST(TextSurfaceCache, SurfacesGoInAndComeOutAsPrivateCopies) {
    TextSurfaceCache cache;
    SurfaceHandle original = filledSurface(3, 2, 40, 0, 0);
    cache.store("k", original.get());
    SDL_FillSurfaceRect(original.get(), nullptr, SDL_MapSurfaceRGBA(original.get(), 200, 0, 0, 255));

    SurfaceHandle first(cache.copy("k"));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->w, 3);
    EXPECT_EQ(first->h, 2);
    EXPECT_EQ(first->format, SDL_PIXELFORMAT_ABGR8888);
    EXPECT_EQ(redAt(first.get()), 40);
    SDL_FillSurfaceRect(first.get(), nullptr, SDL_MapSurfaceRGBA(first.get(), 7, 0, 0, 255));
    SurfaceHandle second(cache.copy("k"));
    EXPECT_EQ(redAt(second.get()), 40);

    cache.store("null", nullptr);
    EXPECT_FALSE(cache.contains("null"));
    EXPECT_EQ(cache.copy("absent"), nullptr);
    EXPECT_EQ(cache.entryCount(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Worker queue, with a renderer the test holds back job by job.

class Gate {
public:
    void render(const TextJob& job) {
        std::unique_lock lock(mutex_);
        started_.push_back(job.text);
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_ || permits_ > 0; });
        if (!open_) --permits_;
        finished_.push_back(job.text);
        changed_.notify_all();
    }
    void waitStarted(std::size_t count) {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, 30s, [&] { return started_.size() >= count; })) << "waiting for " << count;
    }
    void waitFinished(std::size_t count) {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, 30s, [&] { return finished_.size() >= count; }));
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            ++permits_;
        }
        changed_.notify_all();
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    std::vector<std::string> started() {
        std::lock_guard lock(mutex_);
        return started_;
    }
    std::vector<std::string> finished() {
        std::lock_guard lock(mutex_);
        return finished_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> started_, finished_;
    int permits_ = 0;
    bool open_ = false;
};

TextJob job(const std::string& text) {
    return TextJob{text, 20, "Lato", 0, {255, 255, 255, 255}, textJobKey("Lato", 20, 0, {255, 255, 255, 255}, text)};
}

TEST(TextPreparationWorker, QueuesARequestOnceWhileItIsQueuedOrRendering) {
    Gate gate;
    TextPreparationWorker worker([&](const TextJob& j) { gate.render(j); });
    EXPECT_TRUE(worker.enqueue(job("A")));
    gate.waitStarted(1);
    EXPECT_FALSE(worker.enqueue(job("A")));  // being rendered
    EXPECT_TRUE(worker.enqueue(job("B")));
    EXPECT_FALSE(worker.enqueue(job("B")));  // queued
    // Same text, other colour: another job.
    TextJob otherColour = job("B");
    otherColour.key = textJobKey("Lato", 20, 0, {0, 0, 0, 255}, "B");
    EXPECT_TRUE(worker.enqueue(otherColour));

    gate.release();
    gate.waitStarted(2);  // A finished and its key is gone once B is taken
    EXPECT_TRUE(worker.enqueue(job("A")));
    gate.open();
    gate.waitFinished(4);
    EXPECT_EQ(gate.finished(), (std::vector<std::string>{"A", "B", "B", "A"}));
}

TEST(TextPreparationWorker, DropsRequestsBeyond1024QueuedJobs) {
    Gate gate;
    TextPreparationWorker worker([&](const TextJob& j) { gate.render(j); });
    ASSERT_TRUE(worker.enqueue(job("running")));
    gate.waitStarted(1);  // taken off the queue
    for (int i = 0; i < 1024; ++i) ASSERT_TRUE(worker.enqueue(job("job " + std::to_string(i)))) << i;
    EXPECT_FALSE(worker.enqueue(job("one too many")));

    gate.release();
    gate.waitStarted(2);  // the worker took "job 0": room for exactly one more
    EXPECT_TRUE(worker.enqueue(job("accepted")));
    EXPECT_FALSE(worker.enqueue(job("dropped")));

    gate.open();
    gate.waitFinished(1026);
    const auto done = gate.finished();
    // Strictly first in, first out.
    ASSERT_EQ(done.size(), 1026u);
    EXPECT_EQ(done[0], "running");
    for (int i = 0; i < 1024; ++i) EXPECT_EQ(done[1 + i], "job " + std::to_string(i));
    EXPECT_EQ(done[1025], "accepted");
}

TEST(TextPreparationWorker, StopFinishesTheJobInProgressAndDiscardsTheQueue) {
    Gate gate;
    auto worker = std::make_unique<TextPreparationWorker>([&](const TextJob& j) { gate.render(j); });
    ASSERT_TRUE(worker->enqueue(job("in progress")));
    gate.waitStarted(1);
    ASSERT_TRUE(worker->enqueue(job("queued 1")));
    ASSERT_TRUE(worker->enqueue(job("queued 2")));
    worker->stop();
    gate.open();
    worker.reset();  // joins
    EXPECT_EQ(gate.started(), std::vector<std::string>{"in progress"});
    EXPECT_EQ(gate.finished(), std::vector<std::string>{"in progress"});
}

TEST(TextPreparationWorker, StopsPromptlyWhenIdle) {
    std::atomic<int> rendered{0};
    auto worker = std::make_unique<TextPreparationWorker>([&](const TextJob&) { ++rendered; });
    // Destroying an idle worker stops and joins its thread; a generous bound stands for "at once".
    // The destruction runs on a thread of its own, left behind if it hangs, so the test fails
    // instead of hanging with it.
    auto destroyed = std::make_shared<std::promise<void>>();
    std::future<void> done = destroyed->get_future();
    std::thread([destroyed, worker = std::move(worker)]() mutable {
        worker.reset();
        destroyed->set_value();
    }).detach();
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << "the idle worker did not stop";
    EXPECT_EQ(rendered.load(), 0);
}

TEST(TextPreparationWorker, AFailingJobDoesNotEndTheThread) {
    Gate gate;
    TextPreparationWorker worker([&](const TextJob& j) {
        if (j.text == "bad") throw std::bad_alloc();
        if (j.text == "worse") throw 42;
        gate.render(j);
    });
    gate.open();
    EXPECT_TRUE(worker.enqueue(job("bad")));
    EXPECT_TRUE(worker.enqueue(job("worse")));
    EXPECT_TRUE(worker.enqueue(job("good")));
    gate.waitFinished(1);
    EXPECT_EQ(gate.finished(), std::vector<std::string>{"good"});
    // The failed job's key was released: it can be asked for again.
    EXPECT_TRUE(worker.enqueue(job("bad")));
}

// A job that fails inside SDL (a font that cannot be opened, or one opened after the font
// engine was shut down at exit) leaves SDL's per-thread error text behind; the worker frees it
// when its thread ends, so the leak checker of the sanitized builds finds nothing at exit.
TEST(TextPreparationWorker, FreesSdlsThreadStateWhenItStops) {
    std::promise<void> rendered;
    {
        TextPreparationWorker worker([&](const TextJob&) {
            SDL_SetError("font could not be opened");
            rendered.set_value();
        });
        EXPECT_TRUE(worker.enqueue(job("any")));
        ASSERT_EQ(rendered.get_future().wait_for(5s), std::future_status::ready);
    }
}

// ---------------------------------------------------------------------------------------------
// Rendering with the real fonts

const SDL_Color green{0, 200, 0, 255};

std::string runKeyFor(const std::string& family, std::uint8_t fileStyle, int size, const std::string& text,
                      SDL_Color color, std::uint8_t runStyle) {
    return textRunKey(textRunKeyPrefix(fontPath(family, fileStyle), size), StyledRun{text, color, false, {}, runStyle});
}

class TextRendering : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine_.started()) << SDL_GetError();
        // As in the player, the render thread uses SDL's surfaces before any other thread does:
        // SDL builds its pixel-format tables lazily behind atomics the thread sanitizer cannot
        // see, so the first use belongs on this thread.
        SurfaceHandle warm = filledSurface(1, 1, 0, 0, 0);
        SurfaceHandle(SDL_ConvertSurface(warm.get(), SDL_PIXELFORMAT_ARGB8888));
    }
    testing::FontEngine engine_;
};

TEST_F(TextRendering, FilesOneSurfaceForEveryRunOfEveryLine) {
    const std::size_t before = textSurfaceCache().entryCount();
    const std::string esc = "\x1b";
    TextJob j;
    j.text = "First line\r\nMixed " + esc + "[38;2;255;0;0mRed" + esc + "[38;2;0;0;255mBlue\n\n" + esc + "[1mLast";
    j.fontSize = 32;
    j.fontFamily = "Lato";
    j.color = green;
    renderTextLines(j);
    EXPECT_EQ(textSurfaceCache().entryCount(), before + 5);  // the blank line files nothing

    struct Expected {
        const char* text;
        SDL_Color color;
        std::uint8_t style;
    };
    const Expected runs[] = {{"First line", green, 0},
                             {"Mixed ", green, 0},
                             {"Red", {255, 0, 0, 255}, 0},
                             {"Blue", {0, 0, 255, 255}, 0},
                             {"Last", green, 1}};
    for (const auto& run : runs) {
        SurfaceHandle surface(copyPreparedSurface(runKeyFor("Lato", 0, 32, run.text, run.color, run.style)));
        ASSERT_TRUE(surface) << run.text;
        EXPECT_GT(surface->w, 10) << run.text;
        EXPECT_GT(testing::countPixels(surface.get(), run.color.r, run.color.g, run.color.b), 20) << run.text;
    }
}

TEST_F(TextRendering, BoldFallsBackToThePlainFileOfTheFamily) {
    TextJob j{"Fallback", 28, "Great Vibes", 1, green, ""};
    renderTextLines(j);
    const std::string boldPath = fontPath("Great Vibes", 1);
    EXPECT_EQ(boldPath.substr(boldPath.rfind('/')), "/GreatVibes.ttf");
    SurfaceHandle surface(copyPreparedSurface(runKeyFor("Great Vibes", 1, 28, "Fallback", green, 1)));
    ASSERT_TRUE(surface);
    EXPECT_GT(testing::countPixels(surface.get(), green.r, green.g, green.b), 20);
}

TEST_F(TextRendering, OutlineBitOpensTheFontWithAnOutline) {
    renderTextLines(TextJob{"Outlined", 30, "Lato", 0, green, ""});
    renderTextLines(TextJob{"Outlined", 30, "Lato", 8, green, ""});
    SurfaceHandle plain(copyPreparedSurface(runKeyFor("Lato", 0, 30, "Outlined", green, 0)));
    SurfaceHandle outlined(copyPreparedSurface(runKeyFor("Lato", 8, 30, "Outlined", green, 8)));
    ASSERT_TRUE(plain);
    ASSERT_TRUE(outlined);
    EXPECT_GE(outlined->w, plain->w + 4);  // 2 pixels on each side
    EXPECT_GT(testing::countVisible(outlined.get()), testing::countVisible(plain.get()));
}

TEST_F(TextRendering, FontsThatCannotBeOpenedFileNothing) {
    const std::size_t before = textSurfaceCache().entryCount();
    for (const std::string family : {"../fonts/Lato", "/usr/share/fonts/Lato", "No Such Family", ""}) {
        renderTextLines(TextJob{"Nothing", 20, family, 0, green, ""});
    }
    renderTextLines(TextJob{std::string("Nothing"), 20, std::string("Lato\0/x", 7), 0, green, ""});
    renderTextLines(TextJob{"Nothing", 0, "Lato", 0, green, ""});
    EXPECT_EQ(textSurfaceCache().entryCount(), before);
}

TEST_F(TextRendering, RunsAlreadyCachedAreNotRenderedAgain) {
    const std::string key = runKeyFor("Lato", 0, 26, "Kept", green, 0);
    storePreparedSurface(key, filledSurface(3, 3, 255, 0, 255).get());
    renderTextLines(TextJob{"Kept\nNew", 26, "Lato", 0, green, ""});
    SurfaceHandle kept(copyPreparedSurface(key));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->w, 3);
    EXPECT_TRUE(textSurfaceCache().contains(runKeyFor("Lato", 0, 26, "New", green, 0)));
}

// Waits for the background worker to file a key (the worker has no completion signal).
SurfaceHandle waitForSurface(const std::string& key) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (SDL_Surface* surface = copyPreparedSurface(key)) return SurfaceHandle(surface);
        std::this_thread::sleep_for(2ms);
    }
    return nullptr;
}

TEST_F(TextRendering, PrepareTextAsyncFillsTheCacheInTheBackground) {
    const SDL_Color blue{0, 0, 255, 255};
    prepareTextAsync("", 20, "Lato", 0, blue);
    prepareTextAsync("Ignored", 0, "Lato", 0, blue);
    prepareTextAsync("Prepared ahead\nSecond", 36, "Lato", 2, blue);
    SurfaceHandle first = waitForSurface(runKeyFor("Lato", 2, 36, "Prepared ahead", blue, 2));
    SurfaceHandle second = waitForSurface(runKeyFor("Lato", 2, 36, "Second", blue, 2));
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_GT(testing::countPixels(first.get(), 0, 0, 255), 20);
    EXPECT_FALSE(textSurfaceCache().contains(runKeyFor("Lato", 0, 20, "Ignored", blue, 0)));
    const std::string italic = fontPath("Lato", 2);
    EXPECT_EQ(italic.substr(italic.rfind('/')), "/Lato-Italic.ttf");
}

TEST_F(TextRendering, ConcurrentRequestsFromSeveralThreads) {
    constexpr int words = 24;
    const SDL_Color white{255, 255, 255, 255};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < words; ++i) {
                const int w = (i + t * 5) % words;  // overlapping requests in different orders
                prepareTextAsync("Word " + std::to_string(w), 22, "Lato", 0, {255, 255, 255, 255});
            }
        });
    }
    // Meanwhile the render thread's side reads and files surfaces of its own (until the test
    // ends, whichever way it ends).
    std::jthread reader([&](std::stop_token stop) {
        SurfaceHandle own = filledSurface(2, 2, 1, 2, 3);
        while (!stop.stop_requested()) {
            storePreparedSurface("reader", own.get());
            SurfaceHandle copy(copyPreparedSurface(runKeyFor("Lato", 0, 22, "Word 0", white, 0)));
        }
    });
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < words; ++i) {
        SurfaceHandle surface = waitForSurface(runKeyFor("Lato", 0, 22, "Word " + std::to_string(i), white, 0));
        ASSERT_TRUE(surface) << i;
        EXPECT_GT(testing::countPixels(surface.get(), 255, 255, 255), 10) << i;
    }
}

}  // namespace
}  // namespace lumetta
