#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Headless by default: SDL's offscreen driver, software renderer, no sound device.
    setenv("SDL_VIDEO_DRIVER", "offscreen", 0);
    setenv("SDL_RENDER_DRIVER", "software", 0);
    setenv("SDL_AUDIO_DRIVER", "dummy", 0);
    // Window surfaces stay plain memory: otherwise SDL loads Mesa through EGL for them and
    // unloads it again, and the leak checker reports Mesa's allocations it can no longer name.
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
