#include "objects/text_preparation.h"

#include <SDL3/SDL_thread.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <memory>

#include "display/sdl_handles.h"
#include "objects/text_lines.h"

namespace lumetta {

namespace {

std::string colorKey(SDL_Color color) {
    return std::to_string(color.r) + "," + std::to_string(color.g) + "," + std::to_string(color.b) + "," +
           std::to_string(color.a);
}

}  // namespace

std::string textJobKey(const std::string& fontFamily, int fontSize, std::uint8_t style, SDL_Color color,
                       const std::string& text) {
    return fontFamily + "|" + std::to_string(fontSize) + "|" + std::to_string(style) + "|" + colorKey(color) + "|" + text;
}

std::string textRunKeyPrefix(const std::string& resolvedFontPath, int fontSize) {
    return resolvedFontPath + "|" + std::to_string(fontSize);
}

std::string textRunKey(const std::string& keyPrefix, const StyledRun& run) {
    return keyPrefix + "|" + std::to_string(run.style) + "|" + colorKey(run.color) + "|" + run.text;
}

TextSurfaceCache& textSurfaceCache() {
    static TextSurfaceCache cache;
    return cache;
}

void storePreparedSurface(const std::string& key, SDL_Surface* surface) { textSurfaceCache().store(key, surface); }

SDL_Surface* copyPreparedSurface(const std::string& key) { return textSurfaceCache().copy(key); }

void renderTextLines(const TextJob& job) {
    if (job.text.empty() || job.fontSize < 1) return;
    const std::string path = fontPath(job.fontFamily, job.style);
    if (path.empty()) return;
    FontHandle font(TTF_OpenFont(path.c_str(), static_cast<float>(job.fontSize)));
    if (!font) return;
    if ((job.style & fontStyleOutline) != 0) TTF_SetFontOutline(font.get(), 2);
    const std::string prefix = textRunKeyPrefix(path, job.fontSize);
    for (std::string line : splitTextSegments(job.text, "\n")) {
        std::erase_if(line, [](char c) { return c == '\r' || c == '\n'; });
        for (const auto& run : parseAnsiStyledRuns(line, job.color, job.style)) {
            TTF_SetFontStyle(font.get(), run.style & fontEngineStyleMask);
            const std::string key = textRunKey(prefix, run);
            if (textSurfaceCache().contains(key)) continue;
            // A run wider than any line the element shows is not worth its (huge) surface.
            int width = 0;
            if (!TTF_GetStringSize(font.get(), run.text.c_str(), run.text.size(), &width, nullptr) ||
                width > maxTextLineWidth) {
                continue;
            }
            SurfaceHandle surface(
                TTF_RenderText_Blended(font.get(), run.text.c_str(), run.text.size(), run.color));
            storePreparedSurface(key, surface.get());
        }
    }
}

TextPreparationWorker::TextPreparationWorker(Render render)
    : render_(std::move(render)), thread_([this](std::stop_token stop) { run(stop); }) {}

TextPreparationWorker::~TextPreparationWorker() {
    stop();
    // The jthread member joins as it is destroyed, before the queue it reads goes.
    if (thread_.joinable()) thread_.join();
}

void TextPreparationWorker::stop() {
    thread_.request_stop();
    { std::lock_guard lock(mutex_); }
    wakeup_.notify_all();
}

bool TextPreparationWorker::enqueue(TextJob job) {
    {
        std::lock_guard lock(mutex_);
        if (pendingKeys_.count(job.key) != 0) return false;
        if (jobs_.size() >= maxQueuedJobs) return false;
        pendingKeys_.insert(job.key);
        jobs_.push_back(std::move(job));
    }
    wakeup_.notify_one();
    return true;
}

void TextPreparationWorker::run(std::stop_token stop) {
    // SDL keeps per-thread state (its error text) for threads it did not create; this thread
    // frees it as it ends, or every failed font open would leave it behind.
    struct SdlThreadState {
        ~SdlThreadState() { SDL_CleanupTLS(); }
    } sdlThreadState;
    while (true) {
        TextJob job;
        {
            std::unique_lock lock(mutex_);
            wakeup_.wait(lock, stop, [this] { return !jobs_.empty(); });
            if (stop.stop_requested()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            render_(job);
        } catch (...) {
            // Out of memory or a file-system error inside one job: the job is lost, the
            // element renders the text itself, and the thread goes on.
        }
        std::lock_guard lock(mutex_);
        pendingKeys_.erase(job.key);
    }
}

void prepareTextAsync(const std::string& text, int fontSize, const std::string& fontFamily, std::uint8_t style,
                      SDL_Color color) {
    if (text.empty() || fontSize <= 0) return;
    TextJob job{text, fontSize, fontFamily, style, color, textJobKey(fontFamily, fontSize, style, color, text)};
    // The worker renders into the cache: the cache is made first, so it is destroyed last.
    textSurfaceCache();
    static TextPreparationWorker worker;
    worker.enqueue(std::move(job));
}

}  // namespace lumetta
