#include "objects/video/runtime/vulkan_frame_importer.h"

#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <type_traits>

extern "C" {
#include <libavutil/hwcontext_drm.h>
#include <libavutil/pixfmt.h>
}

namespace lumetta {

namespace {

// Vulkan handles are pointers on 64-bit systems and 64-bit integers on 32-bit ones.
template <typename Handle>
Sint64 handleNumber(Handle handle) {
    if constexpr (std::is_pointer_v<Handle>) {
        return static_cast<Sint64>(reinterpret_cast<uintptr_t>(handle));
    } else {
        return static_cast<Sint64>(handle);
    }
}

}  // namespace

bool isImportableDrmPrimeFrame(const AVFrame* frame) {
    if (frame == nullptr || frame->format != AV_PIX_FMT_DRM_PRIME || frame->data[0] == nullptr) {
        return false;
    }
    const auto* descriptor = reinterpret_cast<const AVDRMFrameDescriptor*>(frame->data[0]);
    if (descriptor->nb_objects != 1 || descriptor->nb_layers != 1) {
        return false;
    }
    const AVDRMLayerDescriptor& layer = descriptor->layers[0];
    if (layer.format != kDrmFormatNv12 || layer.nb_planes != 2) {
        return false;
    }
    if (layer.planes[0].object_index != 0 || layer.planes[1].object_index != 0) {
        return false;
    }
    return descriptor->objects[0].fd >= 0;
}

VulkanFrameImporter::VulkanFrameImporter(SDL_Renderer* target) : renderer(target) {
    if (renderer == nullptr) {
        return;
    }
    const char* name = SDL_GetRendererName(renderer);
    if (name == nullptr || std::strcmp(name, "vulkan") != 0) {
        return;
    }
    const SDL_PropertiesID properties = SDL_GetRendererProperties(renderer);
    physicalDevice = static_cast<VkPhysicalDevice>(
        SDL_GetPointerProperty(properties, SDL_PROP_RENDERER_VULKAN_PHYSICAL_DEVICE_POINTER, nullptr));
    device = static_cast<VkDevice>(SDL_GetPointerProperty(properties, SDL_PROP_RENDERER_VULKAN_DEVICE_POINTER, nullptr));
}

VulkanFrameImporter::~VulkanFrameImporter() { releaseFrame(); }

void VulkanFrameImporter::releaseFrame() {
    texture.reset();
    if (device != VK_NULL_HANDLE) {
        if (image != VK_NULL_HANDLE) {
            vkDestroyImage(device, image, nullptr);
        }
        if (memory != VK_NULL_HANDLE) {
            vkFreeMemory(device, memory, nullptr);
        }
    }
    image = VK_NULL_HANDLE;
    memory = VK_NULL_HANDLE;
    frame.reset();
}

uint32_t VulkanFrameImporter::findMemoryType(uint32_t typeBits) const {
    VkPhysicalDeviceMemoryProperties properties{};
    if (physicalDevice != VK_NULL_HANDLE) {
        vkGetPhysicalDeviceMemoryProperties(physicalDevice, &properties);
    }
    for (uint32_t index = 0; index < properties.memoryTypeCount && index < 32; ++index) {
        if ((typeBits & (1u << index)) != 0) {
            return index;
        }
    }
    throw std::runtime_error("No Vulkan memory type accepts the video DMA-BUF");
}

bool VulkanFrameImporter::transitionToShaderRead() {
    const SDL_PropertiesID properties = SDL_GetRendererProperties(renderer);
    if (properties == 0 || !SDL_HasProperty(properties, SDL_PROP_RENDERER_VULKAN_GRAPHICS_QUEUE_FAMILY_INDEX_NUMBER)) {
        return false;
    }
    const auto family = static_cast<uint32_t>(
        SDL_GetNumberProperty(properties, SDL_PROP_RENDERER_VULKAN_GRAPHICS_QUEUE_FAMILY_INDEX_NUMBER, 0));
    VkQueue queue = VK_NULL_HANDLE;
    vkGetDeviceQueue(device, family, 0, &queue);
    if (queue == VK_NULL_HANDLE) {
        return false;
    }

    VkCommandPoolCreateInfo poolInfo{};
    poolInfo.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    poolInfo.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT;
    poolInfo.queueFamilyIndex = family;
    VkCommandPool pool = VK_NULL_HANDLE;
    if (vkCreateCommandPool(device, &poolInfo, nullptr, &pool) != VK_SUCCESS) {
        return false;
    }
    bool ok = false;
    do {
        VkCommandBufferAllocateInfo allocateInfo{};
        allocateInfo.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
        allocateInfo.commandPool = pool;
        allocateInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
        allocateInfo.commandBufferCount = 1;
        VkCommandBuffer commands = VK_NULL_HANDLE;
        if (vkAllocateCommandBuffers(device, &allocateInfo, &commands) != VK_SUCCESS) {
            break;
        }
        VkCommandBufferBeginInfo beginInfo{};
        beginInfo.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
        beginInfo.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
        if (vkBeginCommandBuffer(commands, &beginInfo) != VK_SUCCESS) {
            break;
        }
        VkImageMemoryBarrier barrier{};
        barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
        barrier.srcAccessMask = 0;
        barrier.dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
        barrier.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
        barrier.newLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
        barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        barrier.image = image;
        barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        vkCmdPipelineBarrier(commands, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, 0, 0,
                             nullptr, 0, nullptr, 1, &barrier);
        if (vkEndCommandBuffer(commands) != VK_SUCCESS) {
            break;
        }
        VkSubmitInfo submit{};
        submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
        submit.commandBufferCount = 1;
        submit.pCommandBuffers = &commands;
        if (vkQueueSubmit(queue, 1, &submit, VK_NULL_HANDLE) != VK_SUCCESS) {
            break;
        }
        ok = vkQueueWaitIdle(queue) == VK_SUCCESS;
    } while (false);
    vkDestroyCommandPool(device, pool, nullptr);
    return ok;
}

SDL_Texture* VulkanFrameImporter::import(const AVFrame* source, uint8_t alpha) {
    if (!isBound() || !isImportableDrmPrimeFrame(source)) {
        return nullptr;
    }
    auto getFdProperties = reinterpret_cast<PFN_vkGetMemoryFdPropertiesKHR>(
        vkGetDeviceProcAddr(device, "vkGetMemoryFdPropertiesKHR"));
    if (getFdProperties == nullptr) {
        return nullptr;
    }

    releaseFrame();
    frame.reset(av_frame_clone(source));
    if (!frame) {
        throw std::runtime_error("Failed to retain imported DRM PRIME frame");
    }
    const auto* descriptor = reinterpret_cast<const AVDRMFrameDescriptor*>(frame->data[0]);
    const AVDRMObjectDescriptor& object = descriptor->objects[0];
    const AVDRMLayerDescriptor& layer = descriptor->layers[0];

    const auto fail = [this]() -> SDL_Texture* {
        releaseFrame();
        return nullptr;
    };

    VkSubresourceLayout planeLayouts[2]{};
    for (int plane = 0; plane < 2; ++plane) {
        planeLayouts[plane].offset = static_cast<VkDeviceSize>(layer.planes[plane].offset);
        planeLayouts[plane].rowPitch = static_cast<VkDeviceSize>(layer.planes[plane].pitch);
    }
    VkImageDrmFormatModifierExplicitCreateInfoEXT modifierInfo{};
    modifierInfo.sType = VK_STRUCTURE_TYPE_IMAGE_DRM_FORMAT_MODIFIER_EXPLICIT_CREATE_INFO_EXT;
    modifierInfo.drmFormatModifier = object.format_modifier;
    modifierInfo.drmFormatModifierPlaneCount = 2;
    modifierInfo.pPlaneLayouts = planeLayouts;
    VkExternalMemoryImageCreateInfo externalInfo{};
    externalInfo.sType = VK_STRUCTURE_TYPE_EXTERNAL_MEMORY_IMAGE_CREATE_INFO;
    externalInfo.pNext = &modifierInfo;
    externalInfo.handleTypes = VK_EXTERNAL_MEMORY_HANDLE_TYPE_DMA_BUF_BIT_EXT;
    VkImageCreateInfo imageInfo{};
    imageInfo.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
    imageInfo.pNext = &externalInfo;
    imageInfo.imageType = VK_IMAGE_TYPE_2D;
    imageInfo.format = VK_FORMAT_G8_B8R8_2PLANE_420_UNORM;
    imageInfo.extent = {static_cast<uint32_t>(frame->width), static_cast<uint32_t>(frame->height), 1};
    imageInfo.mipLevels = 1;
    imageInfo.arrayLayers = 1;
    imageInfo.samples = VK_SAMPLE_COUNT_1_BIT;
    imageInfo.tiling = VK_IMAGE_TILING_DRM_FORMAT_MODIFIER_EXT;
    imageInfo.usage = VK_IMAGE_USAGE_SAMPLED_BIT;
    imageInfo.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    imageInfo.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    if (vkCreateImage(device, &imageInfo, nullptr, &image) != VK_SUCCESS) {
        image = VK_NULL_HANDLE;
        return fail();
    }

    VkMemoryRequirements requirements{};
    vkGetImageMemoryRequirements(device, image, &requirements);
    VkMemoryFdPropertiesKHR fdProperties{};
    fdProperties.sType = VK_STRUCTURE_TYPE_MEMORY_FD_PROPERTIES_KHR;
    if (getFdProperties(device, VK_EXTERNAL_MEMORY_HANDLE_TYPE_DMA_BUF_BIT_EXT, object.fd, &fdProperties) !=
        VK_SUCCESS) {
        return fail();
    }
    uint32_t memoryType = 0;
    try {
        memoryType = findMemoryType(requirements.memoryTypeBits & fdProperties.memoryTypeBits);
    } catch (...) {
        releaseFrame();
        throw;
    }

    // The duplicate goes to Vulkan; the frame keeps its own descriptor.
    const int duplicate = dup(object.fd);
    if (duplicate < 0) {
        return fail();
    }
    VkImportMemoryFdInfoKHR importInfo{};
    importInfo.sType = VK_STRUCTURE_TYPE_IMPORT_MEMORY_FD_INFO_KHR;
    importInfo.handleType = VK_EXTERNAL_MEMORY_HANDLE_TYPE_DMA_BUF_BIT_EXT;
    importInfo.fd = duplicate;
    VkMemoryDedicatedAllocateInfo dedicatedInfo{};
    dedicatedInfo.sType = VK_STRUCTURE_TYPE_MEMORY_DEDICATED_ALLOCATE_INFO;
    dedicatedInfo.pNext = &importInfo;
    dedicatedInfo.image = image;
    VkMemoryAllocateInfo allocateInfo{};
    allocateInfo.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
    allocateInfo.pNext = &dedicatedInfo;
    allocateInfo.allocationSize = requirements.size;
    allocateInfo.memoryTypeIndex = memoryType;
    if (vkAllocateMemory(device, &allocateInfo, nullptr, &memory) != VK_SUCCESS) {
        memory = VK_NULL_HANDLE;
        close(duplicate);
        return fail();
    }
    if (vkBindImageMemory(device, image, memory, 0) != VK_SUCCESS) {
        return fail();
    }
    if (!transitionToShaderRead()) {
        return fail();
    }

    {
        const ScopedProperties textureProperties;
        if (textureProperties.id() == 0) {
            return fail();
        }
        const SDL_PropertiesID id = textureProperties.id();
        const bool propertiesSet =
            SDL_SetNumberProperty(id, SDL_PROP_TEXTURE_CREATE_FORMAT_NUMBER, SDL_PIXELFORMAT_NV12) &&
            SDL_SetNumberProperty(id, SDL_PROP_TEXTURE_CREATE_ACCESS_NUMBER, SDL_TEXTUREACCESS_STATIC) &&
            SDL_SetNumberProperty(id, SDL_PROP_TEXTURE_CREATE_WIDTH_NUMBER, frame->width) &&
            SDL_SetNumberProperty(id, SDL_PROP_TEXTURE_CREATE_HEIGHT_NUMBER, frame->height) &&
            SDL_SetNumberProperty(id, SDL_PROP_TEXTURE_CREATE_VULKAN_TEXTURE_NUMBER, handleNumber(image));
        if (propertiesSet) {
            texture.reset(SDL_CreateTextureWithProperties(renderer, id));
        }
    }
    if (!texture) {
        return fail();
    }
    if (!SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND) || !SDL_SetTextureAlphaMod(texture.get(), alpha)) {
        return fail();
    }
    return texture.get();
}

}  // namespace lumetta
