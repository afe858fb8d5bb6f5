#include "content/curl_transfer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "core/percent_encoding.h"
#include "support/https_server.h"

namespace lumetta {
namespace {

using testing::ScopedEnvironmentVariable;
using testing::ScriptedResponse;
using testing::TestCertificateAuthority;
using testing::TestHttpsServer;
using testing::TempDir;

struct Fetched {
    CURLcode result = CURLE_OK;
    long status = 0;
    std::string body;
};

size_t collect(char* data, size_t size, size_t count, std::string* body) {
    body->append(data, size * count);
    return size * count;
}

Fetched fetch(const std::string& url, const std::function<bool()>* abort = nullptr) {
    Fetched fetched;
    CurlEasyHandle handle = makeCurlEasyHandle();
    EXPECT_TRUE(handle);
    EXPECT_EQ(applyTransferDefaults(handle.get()), CURLE_OK);
    if (abort != nullptr) {
        EXPECT_EQ(installAbortCheck(handle.get(), abort), CURLE_OK);
    }
    curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &fetched.body);
    curl_easy_setopt(handle.get(), CURLOPT_FOLLOWLOCATION, 1L);
    fetched.result = curl_easy_perform(handle.get());
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &fetched.status);
    return fetched;
}

TEST(CurlTransfer, TrustsTheBundleNamedBySslCertFileAndSendsTheProductLabel) {
    TestHttpsServer server;
    server.respond("/hello", {.body = "hello"});
    ScopedEnvironmentVariable trust("SSL_CERT_FILE", server.caFile().string());

    const Fetched fetched = fetch(server.url("/hello?x=1"));
    EXPECT_EQ(fetched.result, CURLE_OK) << curl_easy_strerror(fetched.result);
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.body, "hello");
    ASSERT_EQ(server.requestCount(), 1u);
    const testing::RecordedRequest request = server.requests()[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/hello?x=1");
    EXPECT_EQ(request.query, "x=1");
    EXPECT_EQ(request.header("user-agent"), "QUORVELA");
}

TEST(CurlTransfer, RefusesServersItCannotVerify) {
    TempDir scratch;
    TestCertificateAuthority trusted;
    TestCertificateAuthority other("another test CA");
    // Signed by the trusted CA, but for an address the server does not have.
    TestHttpsServer wrongName({.identity = trusted.issue({"10.255.0.1", "elsewhere.test"})});
    // Signed by a CA nobody trusts.
    TestHttpsServer strangeCa({.authority = &other});
    // Signed by itself.
    TestHttpsServer selfSigned({.identity = TestCertificateAuthority::selfSigned({"127.0.0.1"}, scratch.path())});
    for (TestHttpsServer* server : {&wrongName, &strangeCa, &selfSigned}) server->respond("/x", {.body = "secret"});

    ScopedEnvironmentVariable trust("SSL_CERT_FILE", trusted.caFile().string());
    for (TestHttpsServer* server : {&wrongName, &strangeCa, &selfSigned}) {
        const Fetched fetched = fetch(server->url("/x"));
        EXPECT_EQ(fetched.result, CURLE_PEER_FAILED_VERIFICATION) << curl_easy_strerror(fetched.result);
        EXPECT_EQ(fetched.body, "");
        EXPECT_EQ(server->requestCount(), 0u);
    }
}

// The scripted server's behaviours, as a client sees them.
TEST(CurlTransfer, ScriptedResponsesArriveAsScripted) {
    TestHttpsServer server;
    ScopedEnvironmentVariable trust("SSL_CERT_FILE", server.caFile().string());
    server.script("/seq", {{.status = 500}, {.body = "second"}});
    server.respond("/cut", {.body = "0123456789", .closeAfter = 4});
    server.respond("/gone", {.closeWithoutResponse = true});
    server.respond("/moved", {.status = 302, .headers = {{"Location", "/seq"}}});
    server.respond("/slow", {.body = "late", .delayMs = 200, .stallAfter = 2, .stallMs = 200});
    server.respond("/seq?only=this", {.body = "by query"});

    struct Case {
        std::string target;
        CURLcode result;
        long status;
        std::string body;
    };
    const Case cases[] = {
        {"/seq", CURLE_OK, 500, ""},
        {"/seq", CURLE_OK, 200, "second"},
        {"/seq", CURLE_OK, 200, "second"},  // the last response repeats
        {"/seq?only=this", CURLE_OK, 200, "by query"},
        {"/seq?other", CURLE_OK, 200, "second"},
        {"/cut", CURLE_PARTIAL_FILE, 200, "0123"},
        {"/gone", CURLE_GOT_NOTHING, 0, ""},
        {"/moved", CURLE_OK, 200, "second"},
        {"/slow", CURLE_OK, 200, "late"},
        {"/unknown", CURLE_OK, 404, ""},
    };
    for (const Case& c : cases) {
        const Fetched fetched = fetch(server.url(c.target));
        EXPECT_EQ(fetched.result, c.result) << c.target << ": " << curl_easy_strerror(fetched.result);
        EXPECT_EQ(fetched.status, c.status) << c.target;
        EXPECT_EQ(fetched.body, c.body) << c.target;
    }
    EXPECT_EQ(server.requests().size(), std::size(cases) + 1);  // the redirect made two requests
}

TEST(CurlTransfer, AbortCheckEndsAStalledTransfer) {
    TestHttpsServer server;
    ScopedEnvironmentVariable trust("SSL_CERT_FILE", server.caFile().string());
    server.respond("/stall", {.body = "0123456789", .stallAfter = 3, .stallMs = 60'000});

    std::atomic<bool> stop{false};
    std::function<bool()> shouldAbort = [&] { return stop.load(); };
    std::thread stopper([&] {
        server.waitForRequests(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    const auto started = std::chrono::steady_clock::now();
    const Fetched fetched = fetch(server.url("/stall"), &shouldAbort);
    stopper.join();
    EXPECT_EQ(fetched.result, CURLE_ABORTED_BY_CALLBACK);
    EXPECT_EQ(fetched.body, "012");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// A device id read from a file keeps its carriage return; libcurl refuses such a URL unless it is encoded.
TEST(CurlTransfer, EncodedDeviceIdsAndFileNamesMakeUrlsLibcurlAccepts) {
    TestHttpsServer server;
    ScopedEnvironmentVariable trust("SSL_CERT_FILE", server.caFile().string());
    const std::string rawId = "MY DEVICE\r";
    server.respond("/devices/MY%20DEVICE%0D/playlist/json", {.body = "id"});
    server.respond("/images/a%20b%23c%3F.png", {.body = "file"});

    EXPECT_NE(fetch(server.url("/devices/" + rawId + "/playlist/json")).result, CURLE_OK);
    const Fetched byId = fetch(server.url("/devices/" + encodeDeviceIdForUrl(rawId) + "/playlist/json"));
    EXPECT_EQ(byId.result, CURLE_OK);
    EXPECT_EQ(byId.body, "id");

    const Fetched byName = fetch(server.url("/images/" + encodePathSegment("a b#c?.png")));
    EXPECT_EQ(byName.body, "file");
    ASSERT_FALSE(server.requests().empty());
    EXPECT_EQ(server.requests().back().target, "/images/a%20b%23c%3F.png");
}

}  // namespace
}  // namespace lumetta
