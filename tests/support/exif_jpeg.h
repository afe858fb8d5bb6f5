#pragma once
// JPEG files as a phone camera writes them: the picture as coded, with an Exif block whose
// orientation tag says how it is to be turned for viewing.

#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

namespace lumetta::testing {

// The Exif APP1 segment with one IFD0 entry, the orientation, in either byte order.
inline std::string exifOrientationSegment(int orientation, bool bigEndian = true) {
    const auto u16 = [bigEndian](unsigned value) {
        const char high = static_cast<char>((value >> 8) & 0xff), low = static_cast<char>(value & 0xff);
        return bigEndian ? std::string{high, low} : std::string{low, high};
    };
    const auto u32 = [&](unsigned value) {
        return bigEndian ? u16(value >> 16) + u16(value & 0xffff) : u16(value & 0xffff) + u16(value >> 16);
    };
    std::string tiff = bigEndian ? "MM" : "II";
    tiff += u16(42) + u32(8);
    tiff += u16(1);                                                    // one entry
    tiff += u16(0x0112) + u16(3) + u32(1) + u16(static_cast<unsigned>(orientation)) + u16(0);
    tiff += u32(0);                                                    // no next directory
    const std::string payload = std::string("Exif\0\0", 6) + tiff;
    // Segment lengths are big-endian whatever the TIFF block's byte order.
    const unsigned length = static_cast<unsigned>(payload.size() + 2);
    return std::string("\xFF\xE1", 2) + static_cast<char>(length >> 8) + static_cast<char>(length & 0xff) + payload;
}

// The picture encoded as JPEG with the segment right after the start marker.
inline std::string jpegWithOrientation(const cv::Mat& picture, int orientation, bool bigEndian = true) {
    std::vector<unsigned char> encoded;
    cv::imencode(".jpg", picture, encoded, {cv::IMWRITE_JPEG_QUALITY, 95});
    const std::string jpeg(encoded.begin(), encoded.end());
    return jpeg.substr(0, 2) + exifOrientationSegment(orientation, bigEndian) + jpeg.substr(2);
}

// A 4:3 picture, red on its left half and blue on its right (BGR order, as OpenCV keeps it).
inline cv::Mat redLeftBlueRight(int width, int height) {
    cv::Mat picture(height, width, CV_8UC3, cv::Scalar(255, 0, 0));
    picture(cv::Rect(0, 0, width / 2, height)).setTo(cv::Scalar(0, 0, 255));
    return picture;
}

}  // namespace lumetta::testing
