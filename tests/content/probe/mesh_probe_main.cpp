// One player's content mesh, driven line by line on standard input; one answer line each.
//   start <base> <deviceId>      -> started 1|0
//   register <hash> <path>       -> ok
//   forget <hash>                -> ok
//   find <hash>                  -> peer <address|-> <port> <fetching 0|1> <deviceId>, or none
//   choose <hash>                -> choose 1|0
//   intents <hash>               -> intents [deviceId ...]
//   fetching <hash>              -> fetching 1|0
//   fetch <hash> <destination> [<pollMs> <silentMs> <waitMs> [<lowSpeedSeconds>]]
//                                -> fetch 0|1|2, whenever it ends:
//                                   it runs on a thread of its own while further commands go on
//   stop                         -> stopped
// The mesh stops at the end of the input.
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "content/content_mesh.h"

namespace {
std::mutex outputMutex;
void print(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::cout << line << std::endl;
}
}  // namespace

int main() {
    using namespace lumetta;
    std::vector<std::thread> fetches;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        std::string answer;
        if (command == "start") {
            std::string base, id;
            in >> base >> id;
            answer = std::string("started ") + (startContentMesh(base, id) ? "1" : "0");
        } else if (command == "register") {
            std::string hash, path;
            in >> hash >> path;
            registerContentMeshFile(hash, path);
            answer = "ok";
        } else if (command == "forget") {
            std::string hash;
            in >> hash;
            forgetContentMeshFile(hash);
            answer = "ok";
        } else if (command == "find") {
            std::string hash;
            in >> hash;
            const std::optional<MeshPeer> peer = findContentOnPeers(hash);
            if (!peer) {
                answer = "none";
            } else {
                answer = "peer " + (peer->address.empty() ? std::string("-") : peer->address) + " " +
                         std::to_string(peer->port) + " " + (peer->fetching ? "1" : "0") + " " + peer->deviceId;
            }
        } else if (command == "choose") {
            std::string hash;
            in >> hash;
            answer = std::string("choose ") + (choosePeer(hash) ? "1" : "0");
        } else if (command == "intents") {
            std::string hash;
            in >> hash;
            answer = "intents";
            for (const std::string& id : contentMesh().intentDevices(hash)) answer += " " + id;
        } else if (command == "fetching") {
            std::string hash;
            in >> hash;
            answer = std::string("fetching ") + (contentMesh().fetchingHere(hash) ? "1" : "0");
        } else if (command == "fetch") {
            std::string hash, destination;
            in >> hash >> destination;
            MeshFetchOptions options;
            std::int64_t poll = 0, silent = 0, wait = 0;
            if (in >> poll >> silent >> wait) {
                options.peerPollMs = poll;
                options.silentPeerLimitMs = silent;
                options.waitLimitMs = wait;
            }
            long lowSpeedSeconds = 0;
            if (in >> lowSpeedSeconds) options.lowSpeedTimeSeconds = lowSpeedSeconds;
            fetches.emplace_back([hash, destination, options] {
                print("fetch " + std::to_string(fetchFromContentMesh(hash, destination, options)));
            });
            continue;
        } else if (command == "stop") {
            stopContentMesh();
            answer = "stopped";
        } else {
            answer = "unknown " + command;
        }
        print(answer);
    }
    stopContentMesh();
    for (std::thread& fetch : fetches) fetch.join();
    return 0;
}
