#pragma once
// Turns decoded software frames of any pixel format into frames of one fixed size and format.

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

struct SwsContext;

namespace lumetta {

class Conversion {
public:
    Conversion(int outputWidth, int outputHeight, AVPixelFormat outputFormat, int scalerFlags);
    ~Conversion();
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;

    // Fills the destination, which must already hold buffers of the output size and format.
    void convert(const AVFrame* source, AVFrame* destination);

    // The scaler kept between frames; null until a frame needed scaling.
    const SwsContext* scalerContext() const { return scaler; }

private:
    int outputWidth;
    int outputHeight;
    AVPixelFormat outputFormat;
    int scalerFlags;
    SwsContext* scaler = nullptr;
};

}  // namespace lumetta
