// Media downloads into their partial file, against the loopback HTTPS test server, and file
// digests against the system's own digest tools.
#include "content/media_request.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/palette.h"
#include "support/https_server.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironmentVariable;
using testing::ScriptedResponse;
using testing::TempDir;
using testing::TestHttpsServer;

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return text;
}

// The digest that coreutils' tool gives for the file.
std::string toolDigest(const std::string& tool, const fs::path& path) {
    const testing::ProcessResult result = testing::runProcess({tool, path.string()});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result.out.substr(0, result.out.find(' '));
}

TEST(FileDigest, ChoosesSha256ForA64CharacterDigestAndSha1OtherwiseAndMatchesTheTools) {
    TempDir dir;
    const std::size_t sizes[] = {0, 1, 65'535, 65'536, 65'537, 3 * 65'536 + 17};
    for (std::size_t size : sizes) {
        const fs::path path = testing::writeTestFile(dir / ("f" + std::to_string(size)), pattern(size));
        const std::string sha1 = toolDigest("sha1sum", path);
        const std::string sha256 = toolDigest("sha256sum", path);
        for (std::size_t expectedLength : {64u, 40u, 0u, 63u, 65u, 128u}) {
            SCOPED_TRACE(std::to_string(size) + " bytes, expected digest of " + std::to_string(expectedLength));
            const std::string digest = fileDigest(path.string(), std::string(expectedLength, 'f'));
            EXPECT_EQ(digest, expectedLength == 64 ? sha256 : sha1);
        }
        EXPECT_EQ(fileSha1(path.string()), sha1);
    }
    // The digests of nothing at all, as published.
    EXPECT_EQ(fileSha1((dir / "f0").string()), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(fileDigest((dir / "f0").string(), std::string(64, '0')),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(FileDigest, AnythingButARegularFileThrowsWithThePathAsGiven) {
    TempDir dir;
    // A directory would otherwise pass for empty content, and a FIFO would block the reader.
    const std::string fifo = (dir / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {std::string("no/such/file.png"), std::string("/nonexistent/a b.mp4"), dir.str(), fifo}) {
        try {
            fileDigest(path, "");
            ADD_FAILURE() << "no exception for " << path;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Could not open file: " + path);
        }
    }
}

class DownloadFileTest : public ::testing::Test {
protected:
    DownloadFileTest() : trust("SSL_CERT_FILE", server.caFile().string()) {}

    // Runs a download of `target` on the server into dir/"media.bin" after leaving a stale
    // partial file there; the lines it wrote, and whether it succeeded.
    bool download(const std::string& target, MediaRequestOptions options = {}) {
        testing::writeTestFile(part(), "stale bytes of an earlier attempt, longer than the new body");
        errors.str("");
        options.errors = &errors;
        return downloadFile(server.url(target), targetPath(), options);
    }
    std::string targetPath() const { return (dir / "media.bin").string(); }
    fs::path part() const { return dir / "media.bin.part"; }

    TestHttpsServer server;
    ScopedEnvironmentVariable trust;
    TempDir dir;
    std::ostringstream errors;
};

TEST_F(DownloadFileTest, StoresTheBodyInThePartialFileOnlyAndFollowsRedirects) {
    EXPECT_EQ(partialDownloadPath("/data/a.mp4"), "/data/a.mp4.part");
    const std::string body = pattern(200'000);
    server.respond("/a", {.status = 302, .headers = {{"Location", "/b"}}});
    server.respond("/b", {.body = body});
    ASSERT_TRUE(download("/a")) << errors.str();
    EXPECT_EQ(errors.str(), "");
    EXPECT_TRUE(readAll(part()) == body);
    EXPECT_FALSE(fs::exists(targetPath()));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/b");
    EXPECT_EQ(requests[1].header("User-Agent"), "QUORVELA");

    // A short body replaces a longer stale partial file completely.
    server.respond("/short", {.body = "tiny"});
    ASSERT_TRUE(download("/short"));
    EXPECT_EQ(readAll(part()), "tiny");
}

TEST_F(DownloadFileTest, EveryFailureWritesOneLineAndLeavesNoPartialFile) {
    const auto curlError = [](CURLcode code) { return std::string("CURL error: ") + curl_easy_strerror(code) + "\n"; };
    server.respond("/missing", {.status = 404, .body = "not here"});
    server.respond("/broken", {.status = 500});
    server.respond("/empty", {.body = ""});
    server.respond("/nothing", {.status = 204});
    server.respond("/cut", {.body = pattern(100'000), .closeAfter = 1000});
    server.respond("/loop", {.status = 302, .headers = {{"Location", "/loop"}}});
    server.respond("/unmodified", {.status = 304});
    server.respond("/gone", {.closeWithoutResponse = true});
    server.respond("/stall", {.body = pattern(10'000), .stallAfter = 100, .stallMs = 10'000});

    struct Case {
        std::string target;
        std::string line;
    };
    const Case cases[] = {
        {"/missing", curlError(CURLE_HTTP_RETURNED_ERROR)},
        {"/broken", curlError(CURLE_HTTP_RETURNED_ERROR)},
        {"/empty", "Downloaded file is empty: " + server.url("/empty") + "\n"},
        {"/nothing", "Downloaded file is empty: " + server.url("/nothing") + "\n"},
        {"/cut", curlError(CURLE_PARTIAL_FILE)},
        {"/loop", curlError(CURLE_TOO_MANY_REDIRECTS)},
        {"/unmodified", "HTTP error: 304 for URL: " + server.url("/unmodified") + "\n"},
        {"/gone", curlError(CURLE_GOT_NOTHING)},
        {"/stall", curlError(CURLE_OPERATION_TIMEDOUT)},
    };
    MediaRequestOptions quick;
    quick.lowSpeedTimeSeconds = 1;  // under 1,024 B/s for 1 s ends the stalled transfer
    quick.transferTimeoutSeconds = 60;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_FALSE(download(c.target, quick));
        EXPECT_EQ(errors.str(), c.line);
        EXPECT_FALSE(fs::exists(part()));
    }
}

TEST_F(DownloadFileTest, ServersThatCannotBeVerifiedAndUnwritableTargetsFail) {
    TestHttpsServer untrusted({.identity = testing::TestCertificateAuthority::selfSigned({"127.0.0.1"}, dir.path())});
    untrusted.respond("/x", {.body = "secret"});
    errors.str("");
    MediaRequestOptions options;
    options.errors = &errors;
    EXPECT_FALSE(downloadFile(untrusted.url("/x"), targetPath(), options));
    EXPECT_EQ(errors.str().rfind("CURL error: ", 0), 0u) << errors.str();
    EXPECT_FALSE(fs::exists(part()));
    EXPECT_EQ(untrusted.requestCount(), 0u);

    errors.str("");
    const std::string nowhere = (dir / "missing" / "a.png").string();
    EXPECT_FALSE(downloadFile(server.url("/x"), nowhere, options));
    EXPECT_EQ(errors.str(), "Failed to open file for writing: " + std::string(ansi::BOLD_RED) + nowhere + ".part" +
                                std::string(ansi::RESET) + "\n");
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(DownloadFileTest, AnAbortEndsAStalledTransferSoon) {
    server.respond("/slow", {.body = pattern(10'000), .stallAfter = 100, .stallMs = 60'000});
    std::atomic<bool> stop{false};
    MediaRequestOptions options;
    options.shouldAbort = [&] { return stop.load(); };
    std::thread stopper([&] {
        server.waitForRequests(1);
        stop = true;
    });
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(download("/slow", options));
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(errors.str(), std::string("CURL error: ") + curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK) + "\n");
    EXPECT_FALSE(fs::exists(part()));
}

// A download into a file system that is already full, in a private mount namespace.
TEST_F(DownloadFileTest, AFullDiskFailsTheDownloadEvenWhenOnlyTheLastWriteNoticesIt) {
    server.respond("/small", {.body = "a few bytes that stay in the stream's buffer until it closes"});
    server.respond("/large", {.body = pattern(1'000'000)});
    const std::string script =
        "mount -t tmpfs -o size=4k lumetta-test-full \"$1\" || exit 99\n"
        "head -c 4096 /dev/zero > \"$1/filler\"\n"
        "exec \"$2\" \"$3\" \"$1/media.bin\"\n";
    struct Case {
        std::string target;
        std::string lines;
    };
    const Case cases[] = {
        {"/small", "Failed to write data to file.\n"},
        {"/large", std::string("Failed to write data to file.\nCURL error: ") + curl_easy_strerror(CURLE_WRITE_ERROR) +
                       "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        TempDir mountPoint;
        testing::ProcessOptions options;
        options.environment["SSL_CERT_FILE"] = server.caFile().string();
        const testing::ProcessResult result = testing::runProcess(
            {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, "sh", mountPoint.str(),
             MEDIA_REQUEST_PROBE, server.url(c.target)},
            options);
        if (result.exitStatus == 99) GTEST_SKIP() << "no private mount namespace here";
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, "result 0\npart 0\n");
        EXPECT_EQ(result.err, c.lines);
    }
}

}  // namespace
}  // namespace lumetta
