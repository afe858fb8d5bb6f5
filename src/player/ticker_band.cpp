#include "player/ticker_band.h"

#include <algorithm>
#include <cmath>

#include "display/display.h"

namespace lumetta::player {

SDL_Rect tickerBandRect(int width, int height) {
    if (width <= 0 || height <= 0) return {0, 0, 0, 0};
    const int bandHeight = std::min(height, std::max(16, height / 15));
    return {0, height - bandHeight, width, bandHeight};
}

std::string tickerText(const std::vector<std::string>& messages) {
    std::string text;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (i > 0) text += tickerSeparator;
        text += messages[i];
    }
    return text;
}

std::string tickerBuildKey(int width, int height, const std::string& text) {
    return std::to_string(width) + "x" + std::to_string(height) + "|" + text;
}

TickerBand::TickerBand(Display* display) : display_(display) {}

void TickerBand::update(const std::vector<std::string>& messages) {
    if (messages.empty() || display_ == nullptr) {
        ticker_.reset();
        key_.clear();
        ready_ = false;
        return;
    }
    const int width = display_->width();
    const int height = display_->height();
    const std::string text = tickerText(messages);
    std::string key = tickerBuildKey(width, height, text);
    if (ticker_ && key == key_) return;

    ticker_.reset();
    band_ = tickerBandRect(width, height);
    ticker_ = std::make_unique<Ticker>(display_, width, height, band_, text);
    key_ = std::move(key);
    ready_ = ticker_->isReady();
    period_ = ticker_->stripWidth() + std::max(band_.h, 1);
    step_ = static_cast<float>(width) / static_cast<float>(tickerFramesPerWidth);
    x_ = 0.0f;
}

void TickerBand::drawFrame() {
    if (!ticker_ || !ready_) return;
    ready_ = ticker_->draw(static_cast<int>(x_), SDL_FLIP_NONE);
    x_ += step_;
    if (period_ > 0 && x_ >= static_cast<float>(period_)) x_ = std::fmod(x_, static_cast<float>(period_));
}

}  // namespace lumetta::player
