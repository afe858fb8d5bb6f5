#include "screens/splash.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>
#include <utility>

#include "core/config_store.h"
#include "core/file_utils.h"
#include "core/log.h"
#include "core/shared_defaults.h"
#include "display/display.h"
#include "display/screen_shift.h"
#include "display/sdl_handles.h"
#include "objects/text_lines.h"
#include "objects/text_style.h"
#include "screens/splash_picture.h"

namespace lumetta::screens {

namespace {

constexpr SDL_Color lineColour{255, 255, 255, 216};
constexpr SDL_Color pairingColour{224, 224, 224, 255};
constexpr SDL_Color codeColour{255, 255, 255, 255};
const std::string fontFamily = "Lato";
constexpr int smallestLineSize = 18;
constexpr int probeSteps = 20;
constexpr std::int64_t probeStepMs = 100;
constexpr std::int64_t fadeFrameGapMs = 16;

// 90, 180 and 270 stay; every other angle (after reducing into 0..359) is upright.
int uprightOrNamed(int degrees) {
    int reduced = degrees % 360;
    if (reduced < 0) reduced += 360;
    return reduced == 90 || reduced == 180 || reduced == 270 ? reduced : 0;
}

std::unique_ptr<Text> makeElement(Display* display, int width, int height, int boxWidth, int boxHeight,
                                  const std::string& text, int fontSize, SDL_Color colour) {
    return std::make_unique<Text>(display, width, height, SDL_Rect{0, 0, boxWidth, boxHeight}, text, fontSize, "255",
                                  fontFamily, std::uint8_t{0}, colour, SDL_Color{0, 0, 0, 0}, 0, false, TextStyle{});
}

// Where a line of `contentWidth` starts so that it is centred on an output `width` wide.
int centred(int width, int contentWidth) { return width - contentWidth > 1 ? (width - contentWidth) / 2 : 0; }

std::uint8_t alphaFactor(float opacity) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(opacity, 0.0f, 1.0f) * 255.0f));
}

// The width and height a PNG's header names, when the file starts like a PNG.
std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::array<unsigned char, 24> head{};
    if (!in.read(reinterpret_cast<char*>(head.data()), head.size())) return std::nullopt;
    static constexpr std::array<unsigned char, 8> signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (!std::equal(signature.begin(), signature.end(), head.begin())) return std::nullopt;
    if (head[12] != 'I' || head[13] != 'H' || head[14] != 'D' || head[15] != 'R') return std::nullopt;
    auto word = [&](std::size_t at) {
        return static_cast<std::uint32_t>(head[at]) << 24 | static_cast<std::uint32_t>(head[at + 1]) << 16 |
               static_cast<std::uint32_t>(head[at + 2]) << 8 | static_cast<std::uint32_t>(head[at + 3]);
    };
    return std::make_pair(word(16), word(20));
}

}  // namespace

Splash::Splash(const std::string& baseDirectory, Display* output, const std::string& serialNumber,
               const std::string& ethernetMac, const std::string& wifiMac, const std::atomic<bool>* initialPlaylistDone,
               SplashSeams seams)
    : seams_(std::move(seams)), baseDirectory_(baseDirectory) {
    recheckIntervalMs = 5000;
    if (seams_.clock == nullptr) seams_.clock = &systemClock();
    if (seams_.running == nullptr) seams_.running = &playerRunning;
    if (output == nullptr) return;

    rotation_ = uprightOrNamed(configInt(baseDirectory, "orientation", 0));
    displayRotation.store(rotation_);
    width_ = output->width();
    height_ = output->height();
    view_ = SplashView::Identity;
    dataDirectory_ = baseDirectory + "/" + sharedDefaults().programDirectoryName + "/";

    display = output;
    backgroundPicture.emplace(Image::fromXpm(display, width_, height_, 0, 0, width_, height_, splashPicture(), "fit"));
    const std::string picturePath = dataDirectory_ + "orientation.png";
    std::error_code error;
    if (std::filesystem::exists(picturePath, error)) loadOrientationPicture(picturePath);

    accountText = makeText(display, configString(baseDirectory, "account"));
    branchText = makeText(display, configString(baseDirectory, "branch"));
    nameText = makeText(display, configString(baseDirectory, "name"));
    serialText = makeElement(display, width_, height_, 800, 100, "Serial Number: " + serialNumber, 64, lineColour);
    ethernetText =
        makeElement(display, width_, height_, 800, 100, "Ethernet MAC Address: " + ethernetMac, 64, lineColour);
    wifiText = makeElement(display, width_, height_, 800, 100, "WiFi MAC Address: " + wifiMac, 64, lineColour);
    pairingPromptText = makeElement(display, width_, height_, width_, 36,
                                    "To link this device to your account, simply scan the QR code.", 28,
                                    pairingColour);

    run(initialPlaylistDone);
}

Splash::~Splash() = default;

void Splash::loadOrientationPicture(const std::string& path) {
    // The picture is decoded whole before it is uploaded: one larger than any texture would
    // only fail after taking gigabytes, so its header is read first.
    const int limit = textLineWidthLimit(display->renderer());
    if (const auto size = pngSize(path);
        size && (size->first > static_cast<std::uint32_t>(limit) || size->second > static_cast<std::uint32_t>(limit))) {
        logText(std::cerr, "IMAGE Exception: " + colored(ansi::BOLD_RED, "orientation.png is " +
                                                                             std::to_string(size->first) + "x" +
                                                                             std::to_string(size->second) +
                                                                             " pixels; at most " +
                                                                             std::to_string(limit) + " a side"));
        return;
    }
    orientationPicture.emplace(display, width_, height_, 0, 0, width_, height_, path, "fit", "1",
                               SDL_Color{0, 0, 0, 255});
}

void Splash::run(const std::atomic<bool>* initialPlaylistDone) {
    std::atomic<bool>& running = *seams_.running;
    initialPlaylistDone_ = initialPlaylistDone;
    start_ = seams_.clock->ticksMs();
    online_.store(false);
    // Declared before the run, so it is stopped and joined also when the run throws.
    std::jthread probe([this](std::stop_token stop) { connectivityThread(std::move(stop), &online_); });

    EventPump events(running, std::cout);
    ModalPace pace;
    pace.clock = seams_.clock;
    pace.beforePresent = seams_.beforePresent;
    runModalScreen(*this, events, *display, pace);
    if (!running.load()) lastFrame_.clear();

    probe.request_stop();
    probe.join();
    if (!setConfigInt(baseDirectory_, "orientation", rotation_)) {
        logLine(std::cerr, ansi::BOLD_RED, "[ORIENTATION]", " Unable to update config.json when closing splash");
    }
}

void Splash::draw(const ScreenOutput&) {
    Clock& clock = *seams_.clock;
    std::atomic<bool>& running = *seams_.running;
    const int shiftMax = height_ / 8;

    configText(accountText, display, baseDirectory_, "account");
    configText(branchText, display, baseDirectory_, "branch");
    configText(nameText, display, baseDirectory_, "name");

    const SplashPairing pairing = seams_.pairing ? seams_.pairing() : SplashPairing{};
    if (pairing.complete) needsPairing_ = false;
    const bool online = online_.load();
    if (!pairing.code.empty()) view_ = SplashView::Pairing;

    const std::uint64_t now = clock.ticksMs();
    const double t = static_cast<double>(now - start_) / static_cast<double>(introMs);
    const double f = t < 1.0 ? 1.0 - t : 0.0;
    const int margin = static_cast<int>(std::lround(shiftMax * f));
    setScreenShift(1, 1, margin, static_cast<float>(rotation_));

    display->clear(SDL_Color{0, 0, 0, 255});
    backgroundPicture->draw(true);
    if (orientationPicture) orientationPicture->draw(true);

    SDL_Renderer* renderer = display->renderer();
    if (margin > 0 && height_ > 7) {
        const auto alpha = static_cast<Uint8>(static_cast<double>(margin) / shiftMax * 255.0);
        SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, alpha);
        SDL_RenderFillRect(renderer, nullptr);
        SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
    } else if (margin == 0) {
        if (!introOver_) {
            viewStart_ = now;
            introOver_ = true;
        }
        switch (view_) {
            case SplashView::Identity:
                drawIdentity(now - viewStart_);
                if (!recheckArmed_) {
                    recheckArmed_ = true;
                    recheckAt_ = clock.steadyMs() + recheckIntervalMs;
                }
                break;
            case SplashView::DeviceDetails: drawDeviceDetails(); break;
            case SplashView::Pairing:
                if (online) drawPairing(pairing.code, pairing.qrCode, pairing.url);
                break;
        }
    }

    // A passed check stays passed: a link that drops while the first playlist still loads
    // does not keep the splash on screen once the load has ended.
    if (recheckArmed_ && !identityDone_ && clock.steadyMs() >= recheckAt_) {
        std::error_code error;
        identityDone_ = online || std::filesystem::exists(dataDirectory_ + sharedDefaults().playingFileName, error);
        if (!identityDone_) recheckAt_ = clock.steadyMs() + recheckIntervalMs;
    }

    // The ready flag is read once, so the frame is kept whenever this cycle ends the splash.
    const bool loaded = initialPlaylistDone_ == nullptr || initialPlaylistDone_->load();
    over_ = loaded && (!needsPairing_ || identityDone_);
    if (running.load() && over_) keepFrame();
}

void Splash::drawBlock(const std::vector<Text*>& lines, const std::vector<float>& opacities) {
    std::int64_t total = 0;
    for (const Text* line : lines) {
        if (line != nullptr) total += line->contentHeight();
    }
    std::int64_t y = std::max<std::int64_t>(0, height_ - total - blockGap);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Text* line = lines[i];
        if (line == nullptr) continue;
        const float opacity = opacities[i];
        if (opacity > 0.0f) {
            line->draw(centred(width_, line->contentWidth()), static_cast<int>(std::min<std::int64_t>(y, std::numeric_limits<int>::max())),
                       SDL_FLIP_NONE, alphaFactor(opacity), 1.0f);
        }
        y += line->contentHeight();
    }
}

void Splash::drawIdentity(std::uint64_t elapsed) {
    std::vector<float> opacities;
    for (std::uint64_t i = 0; i < 3; ++i) {
        // Line i fades in over 900 ms from 900 x i ms after the view came, smoothly at both ends.
        const std::uint64_t begin = lineFadeMs * i;
        float opacity = 0.0f;
        if (elapsed > begin) {
            const double p = static_cast<double>(elapsed - begin) / static_cast<double>(lineFadeMs);
            opacity = p <= 1.0 ? static_cast<float>(p * p * (3.0 - 2.0 * p)) : 1.0f;
        }
        opacities.push_back(opacity);
    }
    drawBlock({accountText.get(), branchText.get(), nameText.get()}, opacities);
}

void Splash::drawDeviceDetails() {
    drawBlock({serialText.get(), ethernetText.get(), wifiText.get()}, {1.0f, 1.0f, 1.0f});
}

Text* Splash::keptText(KeptText& kept, const std::string& value, int boxWidth, int boxHeight, int fontSize,
                       SDL_Color colour) {
    if (!kept.text || kept.value != value) {
        kept.text.reset();
        kept.value = value;
        kept.text = makeElement(display, width_, height_, boxWidth, boxHeight, value, fontSize, colour);
    }
    return kept.text.get();
}

void Splash::drawPairing(const std::string& code, const std::string& qr, const std::string& link) {
    const int top = std::max(0, height_ - pairingBlockHeight);
    Text* linkLine = keptText(linkLine_, "Or visit \x1b[1;38;2;255;128;0m" + link + "\x1b[0m and enter the code",
                              width_, 32, 24, pairingColour);
    Text* codeLine = keptText(codeLine_, code, 300, 52, 44, codeColour);

    int widest = pairingPromptText ? pairingPromptText->contentWidth() : 0;
    widest = std::max({widest, linkLine->contentWidth(), codeLine->contentWidth()});
    const std::int64_t rest = static_cast<std::int64_t>(width_) - (static_cast<std::int64_t>(widest) + qrColumn);
    const int x = rest > 1 ? qrColumn + static_cast<int>(rest / 2) : qrColumn;

    if (!qr.empty()) {
        if (!qrPicture_.picture || qrPicture_.value != qr || qrPicture_.x != x || qrPicture_.y != top) {
            qrPicture_.picture.reset();
            qrPicture_.value = qr;
            qrPicture_.x = x;
            qrPicture_.y = top;
            qrPicture_.picture.emplace(
                Image::fromPngBase64(display, width_, height_, x - qrColumn, top, qrSize, qrSize, qr));
        }
        qrPicture_.picture->draw(true);
    }
    if (pairingPromptText) pairingPromptText->draw(x, top, SDL_FLIP_NONE, 255, 1.0f);
    linkLine->draw(x, top + 40, SDL_FLIP_NONE, 255, 1.0f);
    codeLine->draw(x, top + 76, SDL_FLIP_NONE, 255, 1.0f);
}

ScreenAnswer Splash::takeEvent(const SDL_Event& event) {
    if (event.type != SDL_EVENT_KEY_DOWN) return ScreenAnswer::ignored;
    switch (event.key.key) {
        case SDLK_ESCAPE: return ScreenAnswer::stopPlayer;
        case SDLK_D:
            if (view_ != SplashView::Pairing) view_ = SplashView::DeviceDetails;
            break;
        case SDLK_SPACE:
            if (view_ != SplashView::Pairing) view_ = SplashView::Identity;
            break;
        case SDLK_PRINTSCREEN:
            if (!event.key.repeat) display->requestScreenshot(dataDirectory_);
            break;
        case SDLK_UP: turnTo(0); break;
        case SDLK_RIGHT: turnTo(90); break;
        case SDLK_DOWN: turnTo(180); break;
        case SDLK_LEFT: turnTo(270); break;
        default: return ScreenAnswer::ignored;
    }
    return ScreenAnswer::taken;
}

void Splash::turnTo(int degrees) {
    if (degrees == rotation_) return;
    if (!saveOrientation(degrees, baseDirectory_)) return;
    displayRotation.store(degrees);
    rotation_ = degrees;
}

void Splash::keepFrame() {
    lastFrame_.clear();
    lastFrameWidth_ = 0;
    lastFrameHeight_ = 0;
    SurfaceHandle read(SDL_RenderReadPixels(display->renderer(), nullptr));
    if (!read) return;
    SurfaceHandle converted;
    SDL_Surface* frame = read.get();
    if (frame->format != SDL_PIXELFORMAT_ARGB8888) {
        converted.reset(SDL_ConvertSurface(frame, SDL_PIXELFORMAT_ARGB8888));
        if (!converted) return;
        frame = converted.get();
    }
    if (frame->w < 1 || frame->h < 1) return;
    lastFrameWidth_ = frame->w;
    lastFrameHeight_ = frame->h;
    lastFrame_.resize(static_cast<std::size_t>(frame->w) * static_cast<std::size_t>(frame->h));
    const auto* pixels = static_cast<const unsigned char*>(frame->pixels);
    for (int y = 0; y < frame->h; ++y) {
        std::memcpy(lastFrame_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(frame->w),
                    pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(frame->pitch),
                    static_cast<std::size_t>(frame->w) * 4);
    }
}

void Splash::fadeFrame(std::uint64_t durationMs) {
    if (!seams_.running->load() || display == nullptr || lastFrame_.empty()) return;
    SDL_Renderer* renderer = display->renderer();
    if (renderer == nullptr) return;
    TextureHandle texture(SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC,
                                            lastFrameWidth_, lastFrameHeight_));
    if (!texture || !SDL_UpdateTexture(texture.get(), nullptr, lastFrame_.data(), lastFrameWidth_ * 4)) return;
    // The kept frame is opaque; it is copied as it is and only the cover blends.
    SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_NONE);

    Clock& clock = *seams_.clock;
    const std::uint64_t t0 = clock.ticksMs();
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
    double t = 0.0;
    bool first = true;
    do {
        if (!first) clock.sleepFor(fadeFrameGapMs);
        first = false;
        t = durationMs == 0 ? 1.0
                            : std::min(static_cast<double>(clock.ticksMs() - t0) / static_cast<double>(durationMs), 1.0);
        display->clear(SDL_Color{0, 0, 0, 255});
        display->drawSubmitter().renderTextureRotated(renderer, texture.get(), nullptr, nullptr, 0.0, nullptr,
                                                      SDL_FLIP_NONE);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, static_cast<Uint8>(t * 255.0));
        SDL_RenderFillRect(renderer, nullptr);
        if (seams_.beforePresent) seams_.beforePresent();
        display->present(true);
    } while (t < 1.0);
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
    lastFrame_.clear();
}

bool Splash::saveOrientation(int degrees, const std::string& baseDirectory) {
    const int d = degrees == 90 || degrees == 180 || degrees == 270 ? degrees : 0;
    const std::string file = baseDirectory + "/" + sharedDefaults().programDirectoryName + "/orientation";
    const bool saved =
        writeFileAtomically(file, std::to_string(d) + "\n") && setConfigInt(baseDirectory, "orientation", d);
    if (!saved) logLine(std::cerr, ansi::BOLD_RED, "[ORIENTATION]", " Unable to write config.json");
    return saved;
}

std::unique_ptr<Text> Splash::makeText(Display* display, const std::string& text) {
    if (text.empty() || display == nullptr) return nullptr;
    const int width = display->width();
    const int height = display->height();
    const int maxWidth = width < 320 ? std::max(width - 32, 1) : width - 2 * std::min(width / 20, 32);
    auto build = [&](const std::string& shown, int size) {
        return makeElement(display, width, height, maxWidth, 100, shown, size, lineColour);
    };
    // Measured before it is laid out: a line no texture can hold would otherwise be refused
    // by the element and leave nothing to shrink.
    auto measuredFit = [&](int size) { return measureText(text, maxWidth, size, fontFamily, 0) == text; };

    int size = 0;
    if (height > 1080) {
        size = height / 27;
    } else if (height >= 984) {
        size = 40;
    } else if (height >= 432) {
        size = height / 24;
    }
    if (size > smallestLineSize) {
        do {
            if (measuredFit(size)) {
                auto element = build(text, size);
                if (element->contentWidth() <= maxWidth) return element;
            }
            size -= 2;
        } while (size > smallestLineSize);
    }
    if (measuredFit(smallestLineSize)) {
        auto element = build(text, smallestLineSize);
        if (element->contentWidth() <= maxWidth) return element;
    }
    return build(measureText(text, maxWidth, smallestLineSize, fontFamily, 0), smallestLineSize);
}

void Splash::configText(std::unique_ptr<Text>& slot, Display* display, const std::string& baseDirectory,
                        const std::string& key) {
    if (slot) return;
    slot = makeText(display, configString(baseDirectory, key));
}

void Splash::connectivityThread(std::stop_token stop, std::atomic<bool>* online) {
    Clock& clock = *seams_.clock;
    while (!stop.stop_requested()) {
        bool reached = false;
        try {
            reached = seams_.probe ? seams_.probe() : false;
        } catch (...) {
            reached = false;
        }
        online->store(reached);
        for (int step = 0; step < probeSteps; ++step) {
            if (stop.stop_requested()) return;
            clock.sleepFor(probeStepMs, stop);
        }
    }
}

}  // namespace lumetta::screens
