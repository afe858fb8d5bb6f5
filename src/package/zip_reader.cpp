#include "package/zip_reader.h"

#include <sys/mman.h>
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using Bytes = std::span<const std::uint8_t>;

constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::uint64_t kCentralHeaderSize = 46;
constexpr std::uint64_t kLocalHeaderSize = 30;
constexpr std::uint64_t kLongestComment = 65'535;
// Encrypted (bit 0) and every other feature we do not read are refused; bits 1 and 2 (deflate
// level), 3 (sizes in a data descriptor, which we never need) and 11 (UTF-8 names) may be set.
constexpr std::uint16_t kAllowedFlags = 0x80E;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
constexpr std::uint32_t kTypeBits = 0xF000;
constexpr std::uint32_t kDirectoryType = 0x4000;
constexpr std::uint32_t kRegularType = 0x8000;
constexpr std::string_view kPlaylistName = "playlist.json";

// A 4-byte field as two halves, low half first, so each of its bytes is bounds-checked (and once
// the low half is read, offset + 2 cannot wrap).
std::uint32_t readZipWord(Bytes bytes, std::uint64_t offset) {
    const std::uint32_t low = readZipField(bytes, offset);
    const std::uint32_t high = readZipField(bytes, offset + 2);
    return low | high << 16;
}

std::uint64_t findEndRecord(Bytes package) {
    const std::uint64_t size = package.size();
    require(size >= kEndRecordSize, "Invalid ZIP");
    // Only the last 65,557 bytes can hold an end record whose comment reaches the end of the file.
    const std::uint64_t lowest = size - kEndRecordSize > kLongestComment ? size - kEndRecordSize - kLongestComment : 0;
    for (std::uint64_t position = size - kEndRecordSize;; --position) {
        if (package[position] == 0x50 && readZipWord(package, position) == kEndSignature &&
            position + kEndRecordSize + readZipField(package, position + 20) == size) {
            return position;
        }
        if (position == lowest) break;
    }
    require(false, "ZIP directory not found");
    return 0;
}

// Large buffers here are filled once, front to back. Where the kernel offers transparent huge
// pages they are advised to use them, so filling a package of hundreds of MiB takes hundreds of
// page faults instead of tens of thousands (on a virtual machine each one is dear). The advice is
// only advice: where it fails, ordinary pages do.
void adviseHugePages(const void* data, std::uint64_t bytes) {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (start + bytes) & ~(kHugePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Memory for a buffer that is written before it is read, so not zero-filled first.
std::unique_ptr<std::uint8_t[]> unfilledBuffer(std::uint64_t bytes) {
    auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    adviseHugePages(buffer.get(), bytes);
    return buffer;
}

// The steps of readPackageFile, into the memory that `allocate(size)` hands out; the size read.
template <typename Allocate>
std::uint64_t readWholeFile(const fs::path& path, Allocate&& allocate) {
    const std::uintmax_t size = fs::file_size(path);
    require(size <= kPackageSizeLimit, "File exceeds package size limit");
    std::uint8_t* bytes = allocate(size);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(size));
    require(in.good() && static_cast<std::uintmax_t>(in.gcount()) == size, "Cannot read " + path.string());
    return size;
}

// A growing output buffer for the entries; never zero-filled, because the inflater must write
// every byte we then use. No huge pages here: a declared size is only a claim until the entry
// inflates, and a page of 2 MiB for a stream that yields a few bytes would be the dearer fault.
class EntryBuffer {
public:
    std::uint8_t* reserve(std::uint64_t bytes) {
        if (bytes > capacity_) {
            data_.reset();
            data_ = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
            capacity_ = bytes;
        }
        return data_.get();
    }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::uint64_t capacity_ = 0;
};

// Inflates raw deflate `data` into `output`, which has room for `size` + 1 bytes. Accepted only
// when the stream ends having produced exactly `size` bytes from exactly all of `data`.
void inflateEntry(Bytes data, std::uint8_t* output, std::uint64_t size) {
    z_stream stream{};
    require(inflateInit2(&stream, -MAX_WBITS) == Z_OK, "Cannot initialize ZIP decompressor");
    stream.next_in = data.data();
    stream.avail_in = static_cast<uInt>(data.size());  // a 32-bit field of the archive
    stream.next_out = output;
    stream.avail_out = static_cast<uInt>(size + 1);  // at most the entry limit + 1
    const int status = inflate(&stream, Z_FINISH);
    const bool whole = status == Z_STREAM_END && stream.total_out == size && stream.total_in == data.size();
    inflateEnd(&stream);
    require(whole, "Invalid ZIP compressed data");
}

bool isPlaylist(std::string_view name) {
    return name == kPlaylistName ||
           (name.size() > kPlaylistName.size() && name.ends_with(kPlaylistName) &&
            name[name.size() - kPlaylistName.size() - 1] == '/');
}

// Writes each checked entry beneath the target directory.
void writeEntry(const fs::path& target, const ZipEntry& entry) {
    if (entry.kind == ZipEntryKind::Directory) {
        // An existing directory is fine; a file of that name is the file system's error.
        fs::create_directories(target / std::string_view(entry.name).substr(0, entry.name.size() - 1));
        return;
    }
    const fs::path output = target / entry.name;
    fs::create_directories(output.parent_path());
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(entry.bytes.data()), static_cast<std::streamsize>(entry.bytes.size()));
    // Closing flushes what the stream still holds; a failure there is a failed extraction too.
    out.close();
    require(!out.fail(), "Cannot extract ZIP file");
}

}  // namespace

void require(bool condition, std::string_view message) {
    if (!condition) throw std::runtime_error(std::string(message));
}

std::uint16_t readZipField(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
    const std::uint64_t size = bytes.size();
    require(offset <= size && size - offset >= 2, "Truncated ZIP");
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

std::vector<std::uint8_t> readPackageFile(const std::filesystem::path& path) {
    std::vector<std::uint8_t> bytes;
    readWholeFile(path, [&](std::uint64_t size) {
        bytes.reserve(size);
        adviseHugePages(bytes.data(), size);
        bytes.resize(size);
        return bytes.data();
    });
    return bytes;
}

std::string checkZipPath(std::string_view name) {
    require(!name.empty() && name.front() != '/' && name.find_first_of(std::string_view("\\:\0", 3)) == name.npos,
            "Unsafe ZIP path");
    std::string normal;
    normal.reserve(name.size());
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = name.find('/', start);
        if (end == name.npos) end = name.size();
        const std::string_view element = name.substr(start, end - start);
        require(element != "." && element != "..", "Unsafe ZIP path");
        normal += element;
        if (end == name.size()) break;
        normal += '/';
        start = name.find_first_not_of('/', end);
        if (start == name.npos) break;  // a trailing run of "/"
    }
    return normal;
}

std::string readZipEntries(std::span<const std::uint8_t> package, const ZipEntrySink& sink) {
    const std::uint64_t end = findEndRecord(package);

    const std::uint16_t disk = readZipField(package, end + 4);
    const std::uint16_t directoryDisk = readZipField(package, end + 6);
    const std::uint16_t entriesHere = readZipField(package, end + 8);
    const std::uint16_t entries = readZipField(package, end + 10);
    const std::uint64_t directorySize = readZipWord(package, end + 12);
    const std::uint64_t directoryOffset = readZipWord(package, end + 16);
    require(disk == 0 && directoryDisk == 0 && entriesHere == entries, "Multi-disk ZIP unsupported");
    // The directory ends right at the end record: nothing between them, no ZIP64 locator either.
    require(entries >= 1 && entries <= kZipEntryLimit && directoryOffset <= end && directoryOffset + directorySize == end,
            "Invalid ZIP directory or size limit");

    std::set<std::string> names;
    std::uint64_t extracted = 0;
    std::string playlist;
    EntryBuffer buffer;
    std::uint64_t cursor = directoryOffset;
    for (std::uint32_t index = 0; index < entries; ++index) {
        require(cursor <= end && end - cursor >= kCentralHeaderSize && readZipWord(package, cursor) == kCentralSignature,
                "Invalid ZIP entry");
        const std::uint16_t flags = readZipField(package, cursor + 8);
        const std::uint16_t method = readZipField(package, cursor + 10);
        const std::uint32_t crc = readZipWord(package, cursor + 16);
        const std::uint64_t compressedSize = readZipWord(package, cursor + 20);
        const std::uint64_t size = readZipWord(package, cursor + 24);
        const std::uint16_t nameLength = readZipField(package, cursor + 28);
        const std::uint16_t extraLength = readZipField(package, cursor + 30);
        const std::uint16_t commentLength = readZipField(package, cursor + 32);
        const std::uint16_t startDisk = readZipField(package, cursor + 34);
        const std::uint32_t mode = readZipWord(package, cursor + 38) >> 16;
        const std::uint64_t local = readZipWord(package, cursor + 42);
        const std::uint64_t next = cursor + kCentralHeaderSize + nameLength + extraLength + commentLength;
        require(next <= end && (flags & ~kAllowedFlags) == 0 && startDisk == 0 &&
                    (method == kStored || method == kDeflated),
                "Unsupported ZIP entry");

        const Bytes rawName = package.subspan(cursor + kCentralHeaderSize, nameLength);
        const std::string_view nameText(reinterpret_cast<const char*>(rawName.data()), rawName.size());
        std::string name = checkZipPath(nameText);
        require(names.insert(name).second, "Duplicate ZIP entry");

        const bool directory = nameText.back() == '/';
        const std::uint32_t type = mode & kTypeBits;
        require(type == 0 || type == (directory ? kDirectoryType : kRegularType), "ZIP links/special files unsupported");

        require(size <= kZipEntrySizeLimit && extracted + size <= kZipExtractionLimit, "ZIP exceeds extraction size limit");
        extracted += size;

        require(local <= directoryOffset && directoryOffset - local >= kLocalHeaderSize &&
                    readZipWord(package, local) == kLocalSignature && readZipField(package, local + 6) == flags &&
                    readZipField(package, local + 8) == method,
                "Invalid ZIP local header");
        const std::uint16_t localNameLength = readZipField(package, local + 26);
        const std::uint16_t localExtraLength = readZipField(package, local + 28);
        const std::uint64_t dataStart = local + kLocalHeaderSize + localNameLength + localExtraLength;
        require(dataStart <= directoryOffset && directoryOffset - dataStart >= compressedSize, "Invalid ZIP data bounds");
        require(localNameLength == nameLength &&
                    std::ranges::equal(package.subspan(local + kLocalHeaderSize, localNameLength), rawName),
                "ZIP filename mismatch");

        if (directory) {
            require(size == 0, "Invalid ZIP directory");
            sink(ZipEntry{std::move(name), ZipEntryKind::Directory, {}});
            cursor = next;
            continue;
        }

        const Bytes data = package.subspan(dataStart, compressedSize);
        Bytes content;
        if (method == kDeflated) {
            std::uint8_t* output = buffer.reserve(size + 1);
            inflateEntry(data, output, size);
            content = Bytes(output, size);
        } else {
            require(compressedSize == size, "Invalid stored ZIP size");
            content = data;  // read in place: the package bytes outlive the entry
        }
        require(crc32_z(0, content.data(), content.size()) == crc, "ZIP CRC mismatch");

        const bool isPlaylistEntry = isPlaylist(name);
        sink(ZipEntry{name, ZipEntryKind::File, content});
        if (isPlaylistEntry) {
            require(playlist.empty(), "ZIP contains multiple playlists");
            playlist = std::move(name);
        }
        cursor = next;
    }
    require(cursor == end && !playlist.empty(), "ZIP must contain exactly one playlist.json");
    return playlist;
}

std::filesystem::path extractZipPackage(const std::filesystem::path& packagePath,
                                        const std::filesystem::path& targetDirectory) {
    // Read as readPackageFile reads, into memory that is filled only once.
    std::unique_ptr<std::uint8_t[]> package;
    const std::uint64_t size = readWholeFile(packagePath, [&](std::uint64_t bytes) {
        package = unfilledBuffer(bytes);
        return package.get();
    });
    const std::string playlist = readZipEntries({package.get(), size},
                                                [&](const ZipEntry& entry) { writeEntry(targetDirectory, entry); });
    return targetDirectory / playlist;
}

}  // namespace lumetta
