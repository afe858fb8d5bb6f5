#include "display/element_opacity.h"

#include <cmath>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>

namespace lumetta {

float ElementOpacity::finiteNumber(std::string_view message) const {
    if (const std::string* given = text()) throw std::invalid_argument(std::string(message) + *given);
    const float value = std::get<float>(value_);
    if (!std::isfinite(value)) throw std::invalid_argument(std::string(message) + opacityNumberText(value));
    return value;
}

std::string opacityNumberText(float value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.precision(std::numeric_limits<float>::max_digits10);
    text << value;
    return text.str();
}

}  // namespace lumetta
