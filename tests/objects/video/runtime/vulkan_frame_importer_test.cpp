#include "objects/video/runtime/vulkan_frame_importer.h"

#include <gtest/gtest.h>

#include <functional>

extern "C" {
#include <libavutil/hwcontext_drm.h>
#include <libavutil/pixfmt.h>
}

namespace lumetta {
namespace {

// A DRM PRIME frame whose descriptor the test shapes; the default shape is importable.
struct DrmFrame {
    DrmFrame() {
        frame = av_frame_alloc();
        frame->format = AV_PIX_FMT_DRM_PRIME;
        frame->width = 64;
        frame->height = 32;
        frame->buf[0] = av_buffer_allocz(sizeof(AVDRMFrameDescriptor));
        frame->data[0] = frame->buf[0]->data;
        descriptor().nb_objects = 1;
        descriptor().objects[0].fd = 5;
        descriptor().nb_layers = 1;
        descriptor().layers[0].format = kDrmFormatNv12;
        descriptor().layers[0].nb_planes = 2;
    }
    ~DrmFrame() { av_frame_free(&frame); }
    AVDRMFrameDescriptor& descriptor() { return *reinterpret_cast<AVDRMFrameDescriptor*>(frame->data[0]); }

    AVFrame* frame = nullptr;
};

TEST(FrameImport, OnlyOneObjectOneNv12LayerOfTwoPlanesIsImportable) {
    struct Case {
        const char* name;
        std::function<void(DrmFrame&)> shape;
        bool importable;
    };
    const std::vector<Case> cases = {
        {"as made", [](DrmFrame&) {}, true},
        {"descriptor fd 0", [](DrmFrame& f) { f.descriptor().objects[0].fd = 0; }, true},
        {"not DRM PRIME", [](DrmFrame& f) { f.frame->format = AV_PIX_FMT_NV12; }, false},
        {"no descriptor", [](DrmFrame& f) { f.frame->data[0] = nullptr; }, false},
        {"two objects", [](DrmFrame& f) { f.descriptor().nb_objects = 2; }, false},
        {"two layers", [](DrmFrame& f) { f.descriptor().nb_layers = 2; }, false},
        {"three planes", [](DrmFrame& f) { f.descriptor().layers[0].nb_planes = 3; }, false},
        {"YUV420 layer", [](DrmFrame& f) { f.descriptor().layers[0].format = 0x32315559; }, false},
        {"plane in object 1", [](DrmFrame& f) { f.descriptor().layers[0].planes[1].object_index = 1; }, false},
        {"closed descriptor", [](DrmFrame& f) { f.descriptor().objects[0].fd = -1; }, false},
    };
    for (const Case& c : cases) {
        DrmFrame frame;
        c.shape(frame);
        EXPECT_EQ(isImportableDrmPrimeFrame(frame.frame), c.importable) << c.name;
    }
    EXPECT_FALSE(isImportableDrmPrimeFrame(nullptr));
}

TEST(FrameImport, AnyRendererButVulkanBindsToNothingAndImportsNothing) {
    ASSERT_TRUE(SDL_Init(SDL_INIT_VIDEO)) << SDL_GetError();
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    ASSERT_TRUE(SDL_CreateWindowAndRenderer("import", 64, 32, 0, &window, &renderer)) << SDL_GetError();
    ASSERT_STRNE(SDL_GetRendererName(renderer), "vulkan");

    for (SDL_Renderer* target : {renderer, static_cast<SDL_Renderer*>(nullptr)}) {
        VulkanFrameImporter importer(target);
        EXPECT_FALSE(importer.isBound());
        DrmFrame frame;
        EXPECT_EQ(importer.import(frame.frame, 255), nullptr);
        EXPECT_EQ(importer.currentTexture(), nullptr);
        // The importer took no reference: the frame's buffer has only its own owner.
        EXPECT_EQ(av_buffer_get_ref_count(frame.frame->buf[0]), 1);
        EXPECT_THROW(importer.findMemoryType(0xffffffffu), std::runtime_error);
        importer.releaseFrame();
    }
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
}

}  // namespace
}  // namespace lumetta
