#include "assets/sample/zip_writer.h"

#include <zlib.h>

#include <stdexcept>

namespace lumetta::sample {
namespace {

constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kDescriptorSignature = 0x08074B50;
constexpr std::uint16_t kMadeByUnix = 0x031E;  // Unix, format 3.0
constexpr std::uint16_t kDescriptorFlag = 0x0008;
constexpr std::uint16_t kDosDate = 0x0021;  // 1980-01-01

class Out {
public:
    void u16(std::uint32_t value) {
        bytes.push_back(static_cast<std::uint8_t>(value));
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    void u32(std::uint32_t value) {
        u16(value & 0xFFFF);
        u16(value >> 16);
    }
    void text(std::string_view value) { bytes.insert(bytes.end(), value.begin(), value.end()); }
    std::uint32_t offset() const { return static_cast<std::uint32_t>(bytes.size()); }

    std::vector<std::uint8_t> bytes;
};

struct Written {
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::uint16_t flags = 0;
    std::uint32_t localOffset = 0;
};

std::uint32_t modeOf(const ZipWriterEntry& entry) {
    if (entry.mode) return *entry.mode;
    return !entry.name.empty() && entry.name.back() == '/' ? kZipDirectory : kZipRegularFile;
}

}  // namespace

std::string deflateRaw(std::string_view bytes, int level) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&stream, bytes.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    return out;
}

std::uint32_t zipCrc32(std::string_view bytes) {
    return static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

std::vector<std::uint8_t> writeZip(const std::vector<ZipWriterEntry>& entries, const ZipWriterEnd& end) {
    Out out;
    std::vector<Written> written(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ZipWriterEntry& entry = entries[i];
        Written& w = written[i];
        const std::string data = entry.data ? *entry.data
                                 : entry.method == kZipDeflated ? deflateRaw(entry.content)
                                                                : entry.content;
        w.crc = entry.crc.value_or(zipCrc32(entry.content));
        w.compressedSize = entry.compressedSize.value_or(static_cast<std::uint32_t>(data.size()));
        w.uncompressedSize = entry.uncompressedSize.value_or(static_cast<std::uint32_t>(entry.content.size()));
        w.flags = static_cast<std::uint16_t>(entry.flags | (entry.dataDescriptor ? kDescriptorFlag : 0));
        if (entry.localHeaderOf) continue;

        w.localOffset = out.offset();
        const std::string& localName = entry.localName ? *entry.localName : entry.name;
        out.u32(entry.localSignature.value_or(kLocalSignature));
        out.u16(entry.method == kZipDeflated ? 20 : 10);
        out.u16(entry.localFlags.value_or(w.flags));
        out.u16(entry.localMethod.value_or(entry.method));
        out.u16(0);  // time
        out.u16(kDosDate);
        out.u32(entry.dataDescriptor ? 0 : w.crc);
        out.u32(entry.dataDescriptor ? 0 : w.compressedSize);
        out.u32(entry.dataDescriptor ? 0 : w.uncompressedSize);
        out.u16(static_cast<std::uint32_t>(localName.size()));
        out.u16(entry.localExtraLength.value_or(static_cast<std::uint16_t>(entry.localExtra.size())));
        out.text(localName);
        out.text(entry.localExtra);
        out.text(data);
        if (entry.dataDescriptor) {
            out.u32(kDescriptorSignature);
            out.u32(w.crc);
            out.u32(w.compressedSize);
            out.u32(w.uncompressedSize);
        }
    }
    out.text(end.beforeDirectory);

    const std::uint32_t directoryOffset = out.offset();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ZipWriterEntry& entry = entries[i];
        const Written& w = written[i];
        const std::uint32_t mode = modeOf(entry);
        const std::uint32_t local = entry.localOffset ? *entry.localOffset
                                    : entry.localHeaderOf ? written.at(*entry.localHeaderOf).localOffset
                                                          : w.localOffset;
        out.u32(entry.centralSignature.value_or(kCentralSignature));
        out.u16(kMadeByUnix);
        out.u16(entry.method == kZipDeflated ? 20 : 10);
        out.u16(w.flags);
        out.u16(entry.method);
        out.u16(0);  // time
        out.u16(kDosDate);
        out.u32(w.crc);
        out.u32(w.compressedSize);
        out.u32(w.uncompressedSize);
        out.u16(static_cast<std::uint32_t>(entry.name.size()));
        out.u16(static_cast<std::uint32_t>(entry.centralExtra.size()));
        out.u16(entry.entryCommentLength.value_or(static_cast<std::uint16_t>(entry.entryComment.size())));
        out.u16(entry.startDisk);
        out.u16(0);  // internal attributes
        out.u32(mode << 16 | ((mode & 0xF000) == 0x4000 ? 0x10 : 0));  // with the DOS directory bit
        out.u32(local);
        out.text(entry.name);
        out.text(entry.centralExtra);
        out.text(entry.entryComment);
    }
    const std::uint32_t directorySize = out.offset() - directoryOffset;
    out.text(end.beforeEnd);

    const auto count = static_cast<std::uint16_t>(entries.size());
    out.u32(kEndSignature);
    out.u16(end.disk.value_or(0));
    out.u16(end.directoryDisk.value_or(0));
    out.u16(end.entriesOnDisk.value_or(count));
    out.u16(end.totalEntries.value_or(count));
    out.u32(end.directorySize.value_or(directorySize));
    out.u32(end.directoryOffset.value_or(directoryOffset));
    out.u16(end.commentLength.value_or(static_cast<std::uint16_t>(end.comment.size())));
    out.text(end.comment);
    out.text(end.afterComment);
    return std::move(out.bytes);
}

}  // namespace lumetta::sample
