#include "service_stand_in.h"

#include <chrono>
#include <fstream>
#include <thread>
#include <stdexcept>

#include "content/media_request.h"

namespace lumetta::testing {

ServiceStandIn::ServiceStandIn() : ServiceStandIn(Options{}) {}

ServiceStandIn::ServiceStandIn(Options options) : authority_("lumetta stand-in service CA") {
    WebSocketTestServer::Options serverOptions;
    serverOptions.address = options.address;
    serverOptions.authority = &authority_;
    serverOptions.networkNamespaceOf = options.networkNamespaceOf;
    server_ = std::make_unique<WebSocketTestServer>(serverOptions);
    // The service never echoes: it only reports what the player sends.
    server_->command("mode hold");
}

ServiceStandIn::~ServiceStandIn() = default;

PlayerOptions ServiceStandIn::playerOptions() const {
    PlayerOptions options;
    options.serviceHost = hostPort();
    options.trustedCa = caFile();
    return options;
}

std::string ServiceStandIn::playlistTarget(const std::string& deviceId, const std::string& playlistId) {
    std::string device;
    for (const char c : deviceId) device += c == ' ' ? std::string("%20") : std::string(1, c);
    std::string target = "/devices/" + device + "/playlist/json";
    if (!playlistId.empty()) target += "?playlistId=" + playlistId;
    return target;
}

void ServiceStandIn::publishPlaylist(const std::string& deviceId, const std::string& playlistId,
                                     const std::string& document) {
    const std::filesystem::path file = files_ / ("document-" + std::to_string(++published_) + ".json");
    writeTestFile(file, document);
    server_->command("serve " + playlistTarget(deviceId, playlistId) + " " + file.string());
}

void ServiceStandIn::publishMedia(const std::string& kind, const std::string& name, const std::filesystem::path& file) {
    server_->command("serve /" + kind + "/" + name + " " + std::filesystem::absolute(file).string());
}

void ServiceStandIn::send(const std::string& json) {
    if (json.find('\n') != std::string::npos) throw std::invalid_argument("a message is one line");
    server_->command("text " + json);
}

void ServiceStandIn::sendToAll(const std::string& json) {
    if (json.find('\n') != std::string::npos) throw std::invalid_argument("a message is one line");
    server_->command("all text " + json);
}

bool ServiceStandIn::waitForOpen(int count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int open = 0;
        for (const std::string& line : server_->events()) {
            if (line == "open") ++open;
        }
        if (open >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int ServiceStandIn::downloads(const std::string& target) const {
    int count = 0;
    const std::string prefix = "http GET " + target + " 200 ";
    for (const std::string& line : server_->events()) {
        if (line.compare(0, prefix.size(), prefix) == 0) ++count;
    }
    return count;
}

std::vector<std::string> ServiceStandIn::messagesFromPlayer() const {
    std::vector<std::string> messages;
    for (const std::string& line : server_->events()) {
        // "message text <length> <sha256> <text>"
        if (line.compare(0, 13, "message text ") != 0) continue;
        const std::size_t afterLength = line.find(' ', 13);
        const std::size_t afterDigest = afterLength == std::string::npos ? afterLength : line.find(' ', afterLength + 1);
        if (afterDigest != std::string::npos) messages.push_back(line.substr(afterDigest + 1));
    }
    return messages;
}

std::string sha1OfFile(const std::filesystem::path& file) { return fileSha1(file.string()); }

}  // namespace lumetta::testing
