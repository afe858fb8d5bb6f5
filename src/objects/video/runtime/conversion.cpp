#include "objects/video/runtime/conversion.h"

#include <stdexcept>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace lumetta {

namespace {

bool describedFormat(int format) {
    return format != AV_PIX_FMT_NONE && av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format)) != nullptr;
}

}  // namespace

Conversion::Conversion(int width, int height, AVPixelFormat format, int flags)
    : outputWidth(width), outputHeight(height), outputFormat(format), scalerFlags(flags) {
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("Conversion: output dimensions exceed FFmpeg limits");
    }
    if (!describedFormat(format)) {
        throw std::invalid_argument("Conversion: invalid output pixel format");
    }
}

void Conversion::convert(const AVFrame* source, AVFrame* destination) {
    if (source == nullptr || destination == nullptr) {
        throw std::invalid_argument("Conversion: null frame");
    }
    if (source->width < 1 || source->height < 1) {
        throw std::runtime_error("Conversion: invalid source dimensions");
    }
    if (!describedFormat(source->format)) {
        throw std::runtime_error("Conversion: unsupported source pixel format");
    }
    if (source->data[0] == nullptr || destination->data[0] == nullptr) {
        throw std::runtime_error("Conversion: frame has no image buffer");
    }
    if (destination->width != outputWidth || destination->height != outputHeight) {
        throw std::runtime_error("Conversion: destination dimensions do not match output");
    }
    if (destination->format != outputFormat) {
        throw std::runtime_error("Conversion: destination pixel format does not match output");
    }

    const auto sourceFormat = static_cast<AVPixelFormat>(source->format);
    if (sourceFormat == outputFormat && source->width == outputWidth && source->height == outputHeight) {
        av_image_copy(destination->data, destination->linesize, const_cast<const uint8_t**>(source->data),
                      source->linesize, outputFormat, outputWidth, outputHeight);
        return;
    }

    // Reuses the kept context when the geometry and format are unchanged, replaces it otherwise.
    // sws_getCachedContext takes the old context over: it returns it or frees it.
    scaler.reset(sws_getCachedContext(scaler.release(), source->width, source->height, sourceFormat, outputWidth,
                                      outputHeight, outputFormat, scalerFlags, nullptr, nullptr, nullptr));
    if (!scaler) {
        throw std::runtime_error("Conversion: failed to create SwsContext");
    }
    const int rows = sws_scale(scaler.get(), source->data, source->linesize, 0, source->height, destination->data,
                               destination->linesize);
    if (rows != outputHeight) {
        throw std::runtime_error("Conversion: sws_scale produced an incomplete frame");
    }
}

}  // namespace lumetta
