#pragma once
// The management service as the scenarios see it: one host:port that upgrades "/ws" to the
// player's WebSocket link and answers the HTTPS requests for playlist documents and media, all
// scripted by the scenario (support/websocket_test_server.py does the serving; see the commands
// there). It never echoes what the player sends, it logs every request, and its certificate comes
// from a throw-away CA that the player is told to trust.
//
//     ServiceStandIn service;
//     PlayerProcess player(home.path(), service.playerOptions());
//     service.publishPlaylist(player.deviceId(), "p1", documentText);
//     service.publishMedia("videos", "clip.mp4", clipFile);
//     service.waitForOpen();
//     service.send(R"({"type": "playlist", "data": {"name": "Lobby", "sha1": "aa", "id": "p1"}})");
//     service.waitFor("message text");   // what the player sent, in order
//     service.downloads("/videos/clip.mp4")   // how often the file was served whole

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "player_process.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"
#include "support/websocket_server.h"

namespace lumetta::testing {

class ServiceStandIn {
public:
    struct Options {
        std::string address = "127.0.0.1";
        // Serve from the network namespace of this process (a LanHost's holder).
        pid_t networkNamespaceOf = 0;
    };

    ServiceStandIn();
    explicit ServiceStandIn(Options options);
    ~ServiceStandIn();

    std::string hostPort() const { return server_->hostPort(); }
    std::filesystem::path caFile() const { return authority_.caFile(); }
    // Player options that point at this service and trust its CA.
    PlayerOptions playerOptions() const;

    // Answers the device's playlist request for `playlistId` (empty: the device's own) with
    // `document`; the text is stored in a file of the stand-in and may be replaced.
    void publishPlaylist(const std::string& deviceId, const std::string& playlistId, const std::string& document);
    // Answers "/images/<name>" or "/videos/<name>" (`kind` "images" or "videos") with the file.
    void publishMedia(const std::string& kind, const std::string& name, const std::filesystem::path& file);
    // The target of the device's playlist request.
    static std::string playlistTarget(const std::string& deviceId, const std::string& playlistId);

    // One text message to the newest connection (or to every open connection).
    void send(const std::string& json);
    void sendToAll(const std::string& json);
    // Waits until `count` connections are open.
    bool waitForOpen(int count = 1, int timeoutMs = 20000);

    // A line of the server's script, and the event stream (see WebSocketTestServer).
    void command(const std::string& line) { server_->command(line); }
    std::optional<std::string> waitFor(const std::string& prefix, int timeoutMs = 20000) {
        return server_->waitFor(prefix, timeoutMs);
    }
    std::vector<std::string> events() const { return server_->events(); }
    // Later `waitFor` calls look only at what comes next.
    void skip() { server_->skip(); }
    // How often `target` was answered 200 with its whole body.
    int downloads(const std::string& target) const;
    // The text messages the player sent, in order (JSON texts).
    std::vector<std::string> messagesFromPlayer() const;

private:
    TempDir files_;
    TestCertificateAuthority authority_;
    std::unique_ptr<WebSocketTestServer> server_;
    int published_ = 0;
};

// The lower-case SHA-1 of a file's bytes.
std::string sha1OfFile(const std::filesystem::path& file);

}  // namespace lumetta::testing
