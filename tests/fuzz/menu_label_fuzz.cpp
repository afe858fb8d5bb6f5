// Playlist names the service offers for the playlist menu, as rows of the list: control bytes
// dropped or turned into spaces, long names bounded, and the row cut to its width with an
// ellipsis. Run from the source tree so that the list's font is found.
#include <SDL3_ttf/SDL_ttf.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "display/sdl_handles.h"
#include "objects/font_path.h"
#include "objects/text_lines.h"
#include "screens/menu_list.h"

namespace {

TTF_Font* listFont() {
    static lumetta::FontHandle font = [] {
        lumetta::FontHandle opened;
        if (TTF_Init()) opened.reset(TTF_OpenFont(lumetta::fontPath("Lato", 0).c_str(), 64.0f));
        return opened;
    }();
    return font.get();
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    const std::string name(reinterpret_cast<const char*>(data), size);
    const std::size_t limit = size > 0 ? data[0] % 64 + 1 : 16;
    bool cut = false;
    const std::string label = screens::playlistLabel(name, limit, &cut);
    for (char c : label) check(static_cast<unsigned char>(c) >= 32 && c != 127);
    check(label.size() <= limit + 3);
    if (!cut) check(label == screens::playlistLabel(name, name.size() + 1));

    const int width = size > 1 ? data[1] * 8 : 200;
    const std::string row = measureText(listFont(), label, width);
    if (listFont() != nullptr && !row.empty() && row != label) {
        const std::string ellipsis = ellipsisText;
        check(row.size() >= ellipsis.size() && row.compare(row.size() - ellipsis.size(), ellipsis.size(), ellipsis) == 0);
        check(label.compare(0, row.size() - ellipsis.size(), row, 0, row.size() - ellipsis.size()) == 0);
    }
    return 0;
}
