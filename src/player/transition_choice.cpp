#include "player/transition_choice.h"

namespace lumetta::player {

std::optional<int> transitionKindByName(std::string_view name) {
    const std::optional<Transition> transition = transitionByName(name);
    return transition ? transitionKind(*transition) : std::nullopt;
}

std::optional<int> TransitionPicker::choose(Transition transition, bool hasOutgoingFrame) {
    if (transition == Transition::None || !hasOutgoingFrame) return std::nullopt;
    if (transition == Transition::Random) return nextRandomKind();
    return transitionKind(transition).value_or(fallbackTransitionKind);
}

std::optional<int> TransitionPicker::choose(std::string_view name, bool hasOutgoingFrame) {
    return choose(transitionByName(name).value_or(Transition::FadeThroughBlack), hasOutgoingFrame);
}

int TransitionPicker::nextRandomKind() {
    int kind = drawKind();
    while (kind == previous_) kind = drawKind();
    previous_ = kind;
    return kind;
}

int TransitionPicker::drawKind() {
    constexpr std::uint64_t modulus = 2147483647;  // 2^31 - 1
    constexpr std::uint64_t multiplier = 48271;
    // The generator yields 1..2^31-2, a range of 2^31 - 3; split it into 50 equal parts.
    constexpr std::uint64_t scaling = (modulus - 2) / transitionKindCount;
    constexpr std::uint64_t limit = scaling * transitionKindCount;
    std::uint64_t r = 0;
    do {
        state_ = static_cast<std::uint32_t>(state_ * multiplier % modulus);
        r = state_ - 1;
    } while (r >= limit);
    return static_cast<int>(r / scaling);
}

TransitionFrame transitionFrameAt(std::uint64_t startMs, std::uint64_t nowMs) {
    const std::uint64_t elapsed = nowMs > startMs ? nowMs - startMs : 0;
    const double t = static_cast<double>(elapsed) / static_cast<double>(transitionDurationMs);
    if (t >= 1.0) return {1.0, true};
    return {(3.0 - 2.0 * t) * t * t, false};
}

}  // namespace lumetta::player
