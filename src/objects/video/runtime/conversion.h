#pragma once
// Turns decoded software frames of any pixel format into frames of one fixed size and format.

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "objects/video/runtime/ffmpeg_handles.h"

namespace lumetta {

class Conversion {
public:
    Conversion(int outputWidth, int outputHeight, AVPixelFormat outputFormat, int scalerFlags);
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;

    // Fills the destination, which must already hold buffers of the output size and format.
    void convert(const AVFrame* source, AVFrame* destination);

    // The scaler kept between frames; null until a frame needed scaling.
    const SwsContext* scalerContext() const { return scaler.get(); }

private:
    int outputWidth;
    int outputHeight;
    AVPixelFormat outputFormat;
    int scalerFlags;
    ScalerHandle scaler;
};

}  // namespace lumetta
