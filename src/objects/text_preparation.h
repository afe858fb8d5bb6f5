#pragma once
// Background preparation of text: one worker thread renders the styled runs of texts that are
// about to be shown and files each run's glyph surface in a process-wide, bounded cache. The
// text element later takes copies out of the cache under the same run key and renders only
// what is missing. Neither side waits for the other; a lost preparation only costs time.

#include <SDL3/SDL_pixels.h>
#include <SDL3/SDL_surface.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_set>

#include "objects/surface_cache.h"
#include "objects/text_style.h"

namespace lumetta {

struct TextJob {
    std::string text;
    std::int32_t fontSize = 0;
    std::string fontFamily;
    std::uint8_t style = 0;
    SDL_Color color{0, 0, 0, 0};
    std::string key;
};

// "family|size|style|r,g,b,a|text": recognises a request that is already queued or running.
std::string textJobKey(const std::string& fontFamily, int fontSize, std::uint8_t style, SDL_Color color,
                       const std::string& text);

// The cache key of one run: "fontPath|size" (the prefix) then "|style|r,g,b,a|text".
// The worker and the text element build it with these two functions only.
std::string textRunKeyPrefix(const std::string& resolvedFontPath, int fontSize);
std::string textRunKey(const std::string& keyPrefix, const StyledRun& run);

// The store of finished glyph surfaces: at most 256 surfaces and 32 MiB of pixels, the first
// stored going first (lookups and replacements do not renew an entry).
class TextSurfaceCache : public SurfaceCache {
public:
    static constexpr std::size_t maxEntries = 256;
    static constexpr std::size_t maxBytes = 33554432;  // 32 MiB of pixels

    TextSurfaceCache() : SurfaceCache(maxEntries, maxBytes) {}
};

// The process-wide cache shared by the worker and the text element.
TextSurfaceCache& textSurfaceCache();
void storePreparedSurface(const std::string& key, SDL_Surface* surface);
SDL_Surface* copyPreparedSurface(const std::string& key);

// Renders every run of a job with a font of its own and files the surfaces in the process-wide
// cache; runs already cached are skipped. A font that cannot be opened files nothing. Relies on
// the font engine having been started by the text element.
void renderTextLines(const TextJob& job);

// One thread serving queued jobs in order. The process has one (inside prepareTextAsync); the
// renderer is a parameter so the queue can be exercised on its own.
class TextPreparationWorker {
public:
    static constexpr std::size_t maxQueuedJobs = 1024;
    using Render = std::function<void(const TextJob&)>;

    explicit TextPreparationWorker(Render render = renderTextLines);
    // Stops and joins: the job being rendered is finished, queued jobs are discarded.
    ~TextPreparationWorker();
    TextPreparationWorker(const TextPreparationWorker&) = delete;
    TextPreparationWorker& operator=(const TextPreparationWorker&) = delete;

    // Queues a job unless its key is already queued or being rendered, or the queue is full.
    // Returns whether the job was queued.
    bool enqueue(TextJob job);
    // Asks the thread to end after the job in progress; nothing queued is rendered afterwards.
    void stop();

private:
    void run(std::stop_token stop);

    std::mutex mutex_;
    std::condition_variable_any wakeup_;
    std::deque<TextJob> jobs_;
    std::unordered_set<std::string> pendingKeys_;
    Render render_;
    std::jthread thread_;  // last: started once everything above exists
};

// Queues the preparation of a text on the process-wide worker (created by the first call that
// passes the argument check); returns at once and reports nothing.
void prepareTextAsync(const std::string& text, int fontSize, const std::string& fontFamily, std::uint8_t style,
                      SDL_Color color);

}  // namespace lumetta
