#pragma once
// What every HTTP(S) transfer of the player shares, in one place: libcurl's one-time set-up,
// an owning easy handle, the security and identity options, and a way to end a transfer early.

#include <curl/curl.h>

#include <functional>
#include <memory>

namespace lumetta {

// libcurl's process-wide initialisation, done once whichever thread asks first.
void initialiseCurl();

struct CurlEasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyHandle = std::unique_ptr<CURL, CurlEasyCleanup>;

// A fresh easy handle after initialiseCurl(); empty when libcurl cannot make one.
CurlEasyHandle makeCurlEasyHandle();

// The options every transfer of the player sets: the peer's certificate and host name are
// checked; the CA bundle named by the SSL_CERT_FILE environment variable is used when that is
// set and not empty (libcurl itself does not read the variable); the user agent is the product
// label; no signals are raised (transfers run on worker threads). Returns the first option
// libcurl refused, or CURLE_OK.
CURLcode applyTransferDefaults(CURL* handle);

// Makes the transfer end with CURLE_ABORTED_BY_CALLBACK soon after `shouldAbort()` turns true.
// libcurl asks at least once a second, also while no byte moves. `shouldAbort` must outlive the
// transfer and may be called from the thread that runs it only.
CURLcode installAbortCheck(CURL* handle, const std::function<bool()>* shouldAbort);

}  // namespace lumetta
