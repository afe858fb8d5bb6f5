#pragma once
// How a picture fills the box of its slide element.

#include <cstdint>
#include <string_view>

namespace lumetta {

enum class ImageFit : std::uint8_t {
    Stretch,  // over the whole box
    Fit,      // whole and centred, the rest of the box in the background colour
    Crop,     // covering the box, centred, the overhang cut off
};

// The fit a word names in any letter case: "fit", "crop", and stretch for every other word.
constexpr ImageFit imageFitOf(std::string_view word) {
    const auto sameLetters = [word](std::string_view lower) {
        if (word.size() != lower.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            const char c = word[i] >= 'A' && word[i] <= 'Z' ? static_cast<char>(word[i] - 'A' + 'a') : word[i];
            if (c != lower[i]) return false;
        }
        return true;
    };
    if (sameLetters("fit")) return ImageFit::Fit;
    if (sameLetters("crop")) return ImageFit::Crop;
    return ImageFit::Stretch;
}

}  // namespace lumetta
