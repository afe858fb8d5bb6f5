#pragma once
// Shows hardware-decoded DRM PRIME frames without copying: the frame's DMA-BUF becomes the
// memory of a Vulkan image of the SDL renderer's own device, wrapped as an SDL texture.

#include <SDL3/SDL.h>
#include <vulkan/vulkan.h>

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

#include "display/sdl_handles.h"
#include "objects/video/runtime/ffmpeg_handles.h"
#include "objects/video/runtime/frame_importer.h"

namespace lumetta {

// DRM four-character code of NV12.
inline constexpr uint32_t kDrmFormatNv12 = 0x3231564E;

// True for a DRM PRIME frame of one object and one NV12 layer of two planes in that object,
// with a valid file descriptor: the only layout the importer takes.
bool isImportableDrmPrimeFrame(const AVFrame* frame);

class VulkanFrameImporter final : public FrameImporter {
public:
    // Binds to the renderer's Vulkan device when the renderer is SDL's "vulkan" renderer.
    explicit VulkanFrameImporter(SDL_Renderer* renderer);
    ~VulkanFrameImporter() override;
    VulkanFrameImporter(const VulkanFrameImporter&) = delete;
    VulkanFrameImporter& operator=(const VulkanFrameImporter&) = delete;

    SDL_Texture* import(const AVFrame* frame, uint8_t alpha) override;
    SDL_Texture* currentTexture() const override { return texture.get(); }
    void releaseFrame() override;

    bool isBound() const { return physicalDevice != VK_NULL_HANDLE && device != VK_NULL_HANDLE; }
    // Lowest memory type index allowed by `typeBits`; throws when there is none.
    uint32_t findMemoryType(uint32_t typeBits) const;

private:
    bool transitionToShaderRead();

    SDL_Renderer* renderer = nullptr;
    VkPhysicalDevice physicalDevice = VK_NULL_HANDLE;
    VkDevice device = VK_NULL_HANDLE;
    VkImage image = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    TextureHandle texture;
    FrameHandle frame;
};

}  // namespace lumetta
