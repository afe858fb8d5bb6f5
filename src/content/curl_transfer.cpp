#include "content/curl_transfer.h"

#include <cstdlib>
#include <mutex>

#include "core/shared_defaults.h"

namespace lumetta {
namespace {

int abortProgress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* shouldAbort = static_cast<const std::function<bool()>*>(data);
    return (*shouldAbort)() ? 1 : 0;
}

}  // namespace

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlEasyHandle makeCurlEasyHandle() {
    initialiseCurl();
    return CurlEasyHandle(curl_easy_init());
}

CURLcode applyTransferDefaults(CURL* handle) {
    CURLcode result = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    if (result == CURLE_OK) result = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    const char* bundle = std::getenv("SSL_CERT_FILE");
    if (result == CURLE_OK && bundle != nullptr && *bundle != '\0') {
        result = curl_easy_setopt(handle, CURLOPT_CAINFO, bundle);
    }
    if (result == CURLE_OK) result = curl_easy_setopt(handle, CURLOPT_USERAGENT, sharedDefaults().productLabel.c_str());
    if (result == CURLE_OK) result = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    return result;
}

CURLcode installAbortCheck(CURL* handle, const std::function<bool()>* shouldAbort) {
    CURLcode result = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &abortProgress);
    if (result == CURLE_OK) result = curl_easy_setopt(handle, CURLOPT_XFERINFODATA, shouldAbort);
    if (result == CURLE_OK) result = curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    return result;
}

}  // namespace lumetta
