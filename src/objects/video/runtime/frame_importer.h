#pragma once
// What a video needs of a frame importer: hardware-decoded frames shown without copying. The
// real one is VulkanFrameImporter (vulkan_frame_importer.h).

#include <SDL3/SDL.h>

#include <cstdint>

struct AVFrame;

namespace lumetta {

class FrameImporter {
public:
    virtual ~FrameImporter() = default;
    // The texture of the imported frame, valid until the next import or release; null when the
    // frame cannot be imported.
    virtual SDL_Texture* import(const AVFrame* frame, std::uint8_t alpha) = 0;
    // The texture of the held import, null when none is held.
    virtual SDL_Texture* currentTexture() const = 0;
    virtual void releaseFrame() = 0;
};

}  // namespace lumetta
