#pragma once
// Enumerations named by a table of words: one word per enumerator, in enumerator order, so that
// the table is the only place the words are written and the enumerator's number is its index.

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace lumetta {

// The word of `value`; empty for a value outside the table.
template <typename Enum, std::size_t N>
constexpr std::string_view enumName(const std::array<std::string_view, N>& words, Enum value) {
    const auto index = static_cast<std::size_t>(value);
    return index < N ? words[index] : std::string_view();
}

// The enumerator whose word is exactly `word` (same letter case, nothing around it), or nothing.
template <typename Enum, std::size_t N>
constexpr std::optional<Enum> enumByName(const std::array<std::string_view, N>& words, std::string_view word) {
    for (std::size_t i = 0; i < N; ++i) {
        if (words[i] == word) return static_cast<Enum>(i);
    }
    return std::nullopt;
}

}  // namespace lumetta
