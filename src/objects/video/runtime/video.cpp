#include "objects/video/runtime/video.h"

#include <cctype>
#include <cmath>
#include <iostream>
#include <optional>
#include <stdexcept>

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "core/log.h"
#include "display/display.h"
#include "display/draw.h"
#include "display/draw_context.h"
#include "objects/video/runtime/audio_output.h"
#include "objects/video/runtime/video_placement.h"
#include "objects/video/runtime/video_playback.h"
#include "objects/video/runtime/vulkan_frame_importer.h"

namespace lumetta {

namespace {

constexpr uint32_t kPacketQueueCapacity = 16;
constexpr uint32_t kDecodedQueueCapacity = 16;

std::runtime_error sdlError(const std::string& prefix) { return std::runtime_error(prefix + SDL_GetError()); }

}  // namespace

namespace {

constexpr const char* invalidOpacity = "Invalid video opacity: ";

uint8_t byteOfFinite(double value) {
    const double scaled = value <= 1.0 ? std::max(0.0, value * 255.0) : std::min(255.0, value);
    return static_cast<uint8_t>(std::round(scaled));
}

}  // namespace

uint8_t parseOpacity(const std::string& text) {
    size_t consumed = 0;
    const double value = std::stod(text, &consumed);
    bool onlySpaceAfter = true;
    for (size_t i = consumed; i < text.size(); ++i) {
        onlySpaceAfter = onlySpaceAfter && std::isspace(static_cast<unsigned char>(text[i])) != 0;
    }
    if (!std::isfinite(value) || !onlySpaceAfter) {
        throw std::invalid_argument(invalidOpacity + text);
    }
    return byteOfFinite(value);
}

uint8_t videoOpacityByte(const ElementOpacity& opacity) {
    if (const std::string* text = opacity.text()) return parseOpacity(*text);
    return byteOfFinite(opacity.finiteNumber(invalidOpacity));
}

Video::Video(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
             const std::string& path, ElementOpacity opacity, uint8_t red, uint8_t green, uint8_t blue,
             uint8_t alpha, VideoSeams seams)
    : playback_(std::make_unique<VideoPlayback>(display, slideWidth, slideHeight, SDL_Rect{x, y, width, height}, path,
                                                std::move(opacity), SDL_Color{red, green, blue, alpha},
                                                std::move(seams))) {}

Video::~Video() = default;

void Video::render() { playback_->render(); }
void Video::setPaused(bool paused) { playback_->setPaused(paused); }
bool Video::isFinished() const { return playback_->isFinished(); }
bool Video::hasDrawnFrame() const { return playback_->hasDrawnFrame(); }
void Video::requestStop() { playback_->requestStop(); }
void Video::recordFailure(std::exception_ptr error) { playback_->recordFailure(std::move(error)); }

namespace {

std::unique_ptr<SoundSink> alsaSoundSink(const AVCodecParameters* parameters, const std::atomic<bool>* stop) {
    if (!AudioOutput::isAvailable()) return nullptr;
    return std::make_unique<AudioOutput>(parameters, stop);
}

}  // namespace

VideoPlayback::VideoPlayback(Display* target, int width, int height, SDL_Rect layer, const std::string& mediaPath,
                             const ElementOpacity& opacityGiven, SDL_Color backgroundColor, VideoSeams videoSeams)
    : seams(std::move(videoSeams)),
      clock(seams.clock != nullptr ? *seams.clock : systemClock()),
      originNs(clock.steadyNs()),
      display(target) {
    if (!seams.makeSoundSink) seams.makeSoundSink = alsaSoundSink;
    slideWidth = width;
    slideHeight = height;
    if (display != nullptr) {
        const SDL_Rect bounds = display->bounds();
        if (slideWidth < 1) slideWidth = bounds.w;
        if (slideHeight < 1) slideHeight = bounds.h;
    }
    layerRect = layer;
    path = mediaPath;
    opacity = videoOpacityByte(opacityGiven);  // a bad opacity wins over a missing display
    background = backgroundColor;

    if (display == nullptr) {
        throw std::invalid_argument("Video requires a valid Display pointer");
    }
    if (slideWidth < 1 || slideHeight < 1) {
        throw std::invalid_argument("Video requires valid slide dimensions");
    }
    if (layerRect.w <= 0 || layerRect.h <= 0) {
        layerRect = SDL_Rect{0, 0, slideWidth, slideHeight};
    }
    threads.reserve(4);
    open();
}

// The importer's texture goes before the renderer's other textures; the rest by the members.
VideoPlayback::~VideoPlayback() {
    requestStop();
    joinThreads();
    close();
    frameImporter.reset();
}

void VideoPlayback::open() {
    {
        std::lock_guard lock(frameMutex);
        pendingFrame.reset();
        hasNewFrame = false;
    }
    presentationEnded = false;

    demultiplexer = std::make_unique<Demultiplexer>(path, &stopRequested);
    videoCodec = std::make_unique<Codec>(demultiplexer->videoCodecParameters());
    conversion = std::make_unique<Conversion>(videoCodec->width(), videoCodec->height(), AV_PIX_FMT_NV12,
                                              SWS_FAST_BILINEAR);
    videoPackets = std::make_unique<PacketQueue>(kPacketQueueCapacity);
    decodedFrames = std::make_unique<FrameQueue>(kDecodedQueueCapacity);
    returnedFrames = std::make_unique<FrameQueue>(Video::kFramePoolSize);

    soundSink.reset();
    audioPackets.reset();
    audioCodec.reset();
    {
        std::lock_guard lock(failureMutex);
        failure = nullptr;
    }
    failureReported = false;

    const AVCodecParameters* audioParameters = demultiplexer->audioCodecParameters();
    if (audioParameters == nullptr) {
        return;  // plays silent
    }
    try {
        soundSink = seams.makeSoundSink(audioParameters, &stopRequested);
        if (!soundSink) return;  // no sound device: plays silent
        audioCodec = std::make_unique<Codec>(audioParameters);
        audioPackets = std::make_unique<PacketQueue>(kPacketQueueCapacity);
    } catch (const std::exception&) {
        soundSink.reset();
        audioPackets.reset();
        audioCodec.reset();
    }
}

void VideoPlayback::start() {
    bool expected = false;
    if (!started.compare_exchange_strong(expected, true)) {
        return;
    }
    stopRequested = false;
    finished = false;
    const bool withAudio = audioCodec && audioPackets && soundSink;
    audioEnded = !withAudio;
    try {
        threads.emplace_back([this] { demuxLoop(); });
        threads.emplace_back([this] { decodeLoop(); });
        if (withAudio) {
            threads.emplace_back([this] { audioLoop(); });
        }
        threads.emplace_back([this] { presentLoop(); });
    } catch (...) {
        recordFailure(std::current_exception());
        requestStop();
        joinThreads();
        close();
        finished = true;
        started = false;
    }
}

void VideoPlayback::requestStop() {
    {
        std::lock_guard lock(pauseMutex);
        stopRequested = true;
    }
    pauseChanged.notify_all();
    for (FrameQueue* queue : {decodedFrames.get(), returnedFrames.get()}) {
        if (queue != nullptr) queue->stop();
    }
    for (PacketQueue* queue : {videoPackets.get(), audioPackets.get()}) {
        if (queue != nullptr) queue->stop();
    }
}

void VideoPlayback::joinThreads() {
    for (std::jthread& thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    threads.clear();
}

void VideoPlayback::close() {
    {
        std::lock_guard lock(frameMutex);
        pendingFrame.reset();
        hasNewFrame = false;
    }
    soundSink.reset();
    audioPackets.reset();
    audioCodec.reset();
    returnedFrames.reset();
    decodedFrames.reset();
    videoPackets.reset();
    conversion.reset();
    videoCodec.reset();
    demultiplexer.reset();
}

void VideoPlayback::recordFailure(std::exception_ptr error) {
    if (!error) {
        return;
    }
    std::lock_guard lock(failureMutex);
    if (!failure) {
        failure = error;
    }
}

bool VideoPlayback::hasFailure() {
    std::lock_guard lock(failureMutex);
    return static_cast<bool>(failure);
}

void VideoPlayback::reportFailure() {
    if (failureReported.exchange(true)) {
        return;
    }
    std::exception_ptr stored;
    {
        std::lock_guard lock(failureMutex);
        stored = failure;
    }
    if (!stored) {
        return;
    }
    std::string message;
    try {
        std::rethrow_exception(stored);
    } catch (const std::exception& error) {
        message = error.what();
    } catch (...) {
        message = "unknown playback failure";
    }
    logText(std::cerr, "[VIDEO] " + path + ": " + message);
}

void VideoPlayback::setPaused(bool pause) {
    {
        std::lock_guard lock(pauseMutex);
        if (paused == pause) {
            return;
        }
        const int64_t now = sinceOrigin();
        if (pause) {
            pauseStartedAt = now;
        } else {
            pausedTotal += now - pauseStartedAt;
        }
        paused = pause;
        ++pauseGeneration;
    }
    pauseChanged.notify_all();
}

int64_t VideoPlayback::mediaClock() {
    std::lock_guard lock(pauseMutex);
    return (paused ? pauseStartedAt : sinceOrigin()) - pausedTotal;
}

bool VideoPlayback::waitWhilePaused() {
    std::unique_lock lock(pauseMutex);
    pauseChanged.wait(lock, [this] { return stopRequested || !paused; });
    return !stopRequested;
}

bool VideoPlayback::waitUntilDue(int64_t dueNs) {
    constexpr int64_t nsPerMs = 1000000;
    std::unique_lock lock(pauseMutex);
    while (true) {
        if (stopRequested) {
            return false;
        }
        if (paused) {
            pauseChanged.wait(lock, [this] { return stopRequested || !paused; });
            continue;
        }
        // The steady time at which the media clock reaches the due time.
        const int64_t deadlineNs = saturatingAdd(saturatingAdd(originNs, pausedTotal), dueNs);
        if (clock.steadyNs() >= deadlineNs) {
            return true;
        }
        const int64_t deadlineMs = deadlineNs / nsPerMs + (deadlineNs % nsPerMs > 0 ? 1 : 0);
        const uint64_t generation = pauseGeneration;
        clock.waitUntil(pauseChanged, lock, deadlineMs, {},
                        [&] { return stopRequested || pauseGeneration != generation; });
    }
}

void VideoPlayback::ensureTexture(int width, int height) {
    if (texture && textureWidth == width && textureHeight == height) {
        return;
    }
    texture.reset();
    textureWidth = 0;
    textureHeight = 0;
    SDL_Renderer* renderer = display != nullptr ? display->renderer() : nullptr;
    if (renderer == nullptr) {
        throw std::runtime_error("Video layer requires a valid SDL renderer");
    }
    TextureHandle created(SDL_CreateTexture(renderer, SDL_PIXELFORMAT_NV12, SDL_TEXTUREACCESS_STREAMING, width, height));
    if (!created) {
        throw sdlError("SDL_CreateTexture(NV12) failed: ");
    }
    if (!SDL_SetTextureBlendMode(created.get(), SDL_BLENDMODE_BLEND)) {
        throw sdlError("SDL_SetTextureBlendMode failed: ");
    }
    if (!SDL_SetTextureAlphaMod(created.get(), opacity)) {
        throw sdlError("SDL_SetTextureAlphaMod failed: ");
    }
    texture = std::move(created);
    textureWidth = width;
    textureHeight = height;
}

void VideoPlayback::uploadFrame(const AVFrame* frame) {
    if (frame == nullptr || frame->data[0] == nullptr || frame->data[1] == nullptr) {
        return;
    }
    ensureTexture(frame->width, frame->height);
    if (!SDL_UpdateNVTexture(texture.get(), nullptr, frame->data[0], frame->linesize[0], frame->data[1],
                             frame->linesize[1])) {
        throw sdlError("SDL_UpdateNVTexture failed: ");
    }
}

void VideoPlayback::drawLayer(SDL_Renderer* renderer, SDL_Texture* picture) {
    int outputWidth = 0;
    int outputHeight = 0;
    if (!SDL_GetCurrentRenderOutputSize(renderer, &outputWidth, &outputHeight)) {
        throw sdlError("SDL_GetCurrentRenderOutputSize failed: ");
    }
    if (outputWidth < 1 || outputHeight < 1) {
        throw std::runtime_error("Video renderer has invalid output dimensions");
    }
    const bool drawPicture = picture != nullptr && textureWidth > 0 && textureHeight > 0;
    const SlideMapping mapping = SlideMapping::forRenderer(renderer, slideWidth, slideHeight);
    const VideoPlacement placement = placeVideo(mapping.viewport(), slideWidth, slideHeight, layerRect,
                                                mapping.rotation(), drawPicture ? textureWidth : 0,
                                                drawPicture ? textureHeight : 0);

    if (!SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND)) {
        throw sdlError("SDL_SetRenderDrawBlendMode failed: ");
    }
    if (!SDL_SetRenderDrawColor(renderer, background.r, background.g, background.b, background.a)) {
        throw sdlError("SDL_SetRenderDrawColor failed: ");
    }
    const SDL_FRect box{static_cast<float>(placement.fill.x), static_cast<float>(placement.fill.y),
                        static_cast<float>(placement.fill.w), static_cast<float>(placement.fill.h)};
    // A picture at full opacity outside any layer transform hides whatever lies under it: it is
    // copied without blending, and only the bars beside it are filled. For a full-screen 1080p
    // video this halves the pixels the software renderer writes and drops its blend.
    const bool opaque = drawPicture && placement.hasPicture && opacity == 255 && activeLayerTransform == nullptr &&
                        !seams.blendOpaquePictures;
    const std::optional<LetterboxBars> bars = opaque ? letterboxBars(placement) : std::nullopt;
    if (bars) {
        SDL_FRect rects[4];
        for (int i = 0; i < bars->count; ++i) {
            const SDL_Rect& bar = bars->rects[i];
            rects[i] = SDL_FRect{static_cast<float>(bar.x), static_cast<float>(bar.y), static_cast<float>(bar.w),
                                 static_cast<float>(bar.h)};
        }
        if (bars->count > 0 && !SDL_RenderFillRects(renderer, rects, bars->count)) {
            throw sdlError("SDL_RenderFillRects failed: ");
        }
    } else if (const LayerTransform* transform = activeLayerTransform) {
        const SDL_FColor color{background.r / 255.0f, background.g / 255.0f, background.b / 255.0f,
                               static_cast<float>(background.a / 255.0 * transform->opacity)};
        std::vector<SDL_Vertex> corners = {
            {{box.x, box.y}, color, {0, 0}},
            {{box.x + box.w, box.y}, color, {0, 0}},
            {{box.x + box.w, box.y + box.h}, color, {0, 0}},
            {{box.x, box.y + box.h}, color, {0, 0}},
        };
        SDL_BlendMode previous = SDL_BLENDMODE_NONE;
        const bool havePrevious = SDL_GetRenderDrawBlendMode(renderer, &previous);
        SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
        const bool filled = renderTextureGeometry(renderer, nullptr, corners, *transform, nullptr, display->drawSubmitter());
        if (havePrevious) {
            SDL_SetRenderDrawBlendMode(renderer, previous);
        }
        if (!filled) {
            throw sdlError("SDL_RenderFillRect failed: ");
        }
    } else if (!SDL_RenderFillRect(renderer, &box)) {
        throw sdlError("SDL_RenderFillRect failed: ");
    }

    if (drawPicture && placement.hasPicture) {
        const SDL_FRect destination{static_cast<float>(placement.picture.x), static_cast<float>(placement.picture.y),
                                    static_cast<float>(placement.picture.w), static_cast<float>(placement.picture.h)};
        SDL_BlendMode pictureBlend = SDL_BLENDMODE_BLEND;
        const bool unblended = opaque && SDL_GetTextureBlendMode(picture, &pictureBlend) &&
                               SDL_SetTextureBlendMode(picture, SDL_BLENDMODE_NONE);
        const bool drawn = drawTexture(renderer, picture, nullptr, &destination, placement.angle, nullptr,
                                       SDL_FLIP_NONE, display->drawSubmitter());
        if (unblended) {
            SDL_SetTextureBlendMode(picture, pictureBlend);
        }
        if (!drawn) {
            throw sdlError("SDL_RenderTextureRotated failed: ");
        }
        frameDrawn = true;
    }
}

void VideoPlayback::render() {
    if (!finished) {
        start();
    }
    SDL_Renderer* renderer = display != nullptr ? display->renderer() : nullptr;
    if (renderer == nullptr) {
        recordFailure(std::make_exception_ptr(std::runtime_error("Video layer requires a valid SDL renderer")));
        requestStop();
        reportFailure();
        return;
    }

    SDL_BlendMode savedBlend = SDL_BLENDMODE_NONE;
    const bool blendSaved = SDL_GetRenderDrawBlendMode(renderer, &savedBlend);
    Uint8 savedColor[4] = {0, 0, 0, 0};
    const bool colorSaved = SDL_GetRenderDrawColor(renderer, &savedColor[0], &savedColor[1], &savedColor[2],
                                                   &savedColor[3]);
    const auto restoreDrawState = [&] {
        if (blendSaved) SDL_SetRenderDrawBlendMode(renderer, savedBlend);
        if (colorSaved) SDL_SetRenderDrawColor(renderer, savedColor[0], savedColor[1], savedColor[2], savedColor[3]);
    };

    FrameHandle taken;
    bool reachedEnd = false;
    try {
        if (!frameImporter) {
            frameImporter = seams.makeFrameImporter ? seams.makeFrameImporter(renderer)
                                                    : std::make_unique<VulkanFrameImporter>(renderer);
        }
        SDL_Texture* picture =
            frameImporter->currentTexture() != nullptr ? frameImporter->currentTexture() : texture.get();
        {
            std::lock_guard lock(frameMutex);
            if (pendingFrame && hasNewFrame) {
                taken = std::move(pendingFrame);
                hasNewFrame = false;
            }
        }
        if (taken && taken->format == AV_PIX_FMT_DRM_PRIME) {
            SDL_Texture* imported = frameImporter->import(taken.get(), opacity);
            if (imported == nullptr) {
                throw std::runtime_error("Vulkan DRM PRIME import is unavailable for this frame");
            }
            picture = imported;
            textureWidth = taken->width;
            textureHeight = taken->height;
        } else if (taken) {
            if (taken->linesize[0] < 0 || taken->linesize[1] < 0) {
                throw std::runtime_error("Converted NV12 frame has a negative line size");
            }
            uploadFrame(taken.get());
            picture = texture.get();
            if (!returnedFrames || !returnedFrames->push(taken)) {
                throw std::runtime_error("Failed to return displayed frame to frame pool");
            }
        }
        {
            std::lock_guard lock(frameMutex);
            // The sound may outlast the picture: the video ends once both are done.
            reachedEnd = presentationEnded && audioEnded && !hasNewFrame && !pendingFrame;
        }
        drawLayer(renderer, picture);
    } catch (...) {
        taken.reset();
        restoreDrawState();
        recordFailure(std::current_exception());
        requestStop();
    }
    restoreDrawState();
    taken.reset();

    if (reachedEnd && started) {
        joinThreads();
        close();
        finished = true;
        started = false;
    }
    if (hasFailure()) {
        requestStop();
        joinThreads();
        close();
        finished = true;
        started = false;
        reportFailure();
    }
}

}  // namespace lumetta
