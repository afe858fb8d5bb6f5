// One player's group sync, run inside a host of the test LAN:
//   slide_sync_probe <groupId> <deviceId>
// It runs the slide-sync listener on port 9000 and, on its main thread, an SDL event wait like
// the player loop's. Every group event (0x8002) the loop takes is reported as
//   wake <steady ns taken> <steady ns pushed> <position> <pending 0|1> <leader 0|1> <answer 0|1>
// with the waiting slide taken, as the loop would take it ("pushed": when the listener last
// pushed the event; "answer": a peer asked the leader for the current slide). Commands on standard input, one
// answer line each; the sends go to the limited broadcast as the player's do:
//   announce <position> <repeat 0|1> <change 0|1> -> sent <steady ns before the send> <1|0>
//   request                                        -> sent <ns> <1|0>
//   elect <join time ms>                           -> sent <ns> <1|0>
//   lead <0|1>                                     -> ok
//   election                                       -> election <time> <hash>
//   flood <datagrams per second>                   -> ok   (forged packets of the group until
//                                                           "flood 0" or the end of the input)
// Before anything: "listening", or "refused" (exit 3) outside a private network namespace.
// The end of the input stops the player.
#include <SDL3/SDL.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "core/shared_defaults.h"
#include "link/broadcast_sender.h"
#include "link/player_events.h"
#include "link/slide_sync_listener.h"
#include "support/lan.h"

namespace {

std::mutex outputMutex;

void say(const std::string& line) {
    std::lock_guard lock(outputMutex);
    std::cout << line << std::endl;
}

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Sends forged packets of the group (right group hash, wrong signature) at a steady rate.
class Flood {
public:
    explicit Flood(std::string group) : group_(std::move(group)) {}
    ~Flood() { set(0); }

    void set(int perSecond) {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
        if (perSecond <= 0) return;
        thread_ = std::jthread([this, perSecond](std::stop_token stop) { run(stop, perSecond); });
    }

private:
    void run(std::stop_token stop, int perSecond) {
        using namespace lumetta;
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(slideSyncPort);
        to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        SlideSyncPacket ours{};
        encodeSlidePacket({slideAnnouncementMagic, 0, 0, 0, 0}, group_, "FLOOD", ours);
        const auto interval = std::chrono::nanoseconds(1'000'000'000 / perSecond);
        auto next = std::chrono::steady_clock::now();
        while (!stop.stop_requested()) {
            // Current times, the group's hash, signed with a key that is not the group id: each
            // one goes through the whole check and fails only at the signature.
            const auto now = static_cast<std::uint64_t>(systemClock().systemMs());
            SlideSyncPacket packet{};
            encodeSlidePacket({slideAnnouncementMagic, now, now, 1, 0}, group_ + "?", "FLOOD", packet);
            std::copy(ours.begin() + 8, ours.begin() + 16, packet.begin() + 8);
            ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            next += interval;
            std::this_thread::sleep_until(next);
        }
        ::close(fd);
    }

    std::string group_;
    std::jthread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace lumetta;
    if (argc != 3) {
        std::cerr << "usage: slide_sync_probe GROUP DEVICE" << std::endl;
        return 2;
    }
    if (!lumetta::testing::inPrivateNetworkNamespace()) {
        say("refused");
        return 3;
    }
    GroupIdentity identity;
    identity.groupId = argv[1];
    identity.deviceId = argv[2];
    if (!SDL_Init(SDL_INIT_EVENTS)) {
        std::cerr << "SDL_Init: " << SDL_GetError() << std::endl;
        return 2;
    }

    std::atomic<bool> running{true};
    std::atomic<bool> listening{false};
    SlideSyncListenerOptions options;
    options.running = &running;
    options.identity = [identity] { return identity; };
    options.listening = [&](std::uint16_t) { listening = true; };
    std::atomic<std::int64_t> pushedAt{0};
    options.wake = [&] {
        pushedAt = steadyNs();
        pushPlayerEvent(groupChangedEvent);
    };
    std::thread listener([&] { runSlideSyncListener(slideSyncPort, options); });
    while (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    say("listening");

    // Commands on a thread of their own; the main thread waits for events as the player loop does.
    std::thread commands([&] {
        BroadcastSender sender(slideSyncPort, identity, sharedDefaults().broadcastAddress);
        const std::uint64_t ownHash = identity.deviceHash();
        Flood flood(identity.groupId);
        std::string line;
        while (std::getline(std::cin, line)) {
            std::istringstream in(line);
            std::string command;
            in >> command;
            if (command == "announce") {
                int position = 0, repeat = 0, change = 0;
                in >> position >> repeat >> change;
                // Newer than everything accepted so far, as the player loop sends them.
                const auto now = static_cast<std::uint64_t>(systemClock().systemMs());
                const std::uint64_t sendTime = std::max(lastAcceptedSendTime.load() + 1, now);
                const std::int64_t at = steadyNs();
                const bool ok = sender.sendSlide(position, sendTime, now, repeat != 0, change != 0 ? 1 : 0);
                if (ok) {
                    lastAcceptedSenderHash = ownHash;
                    lastAcceptedSendTime = sendTime;
                }
                say("sent " + std::to_string(at) + (ok ? " 1" : " 0"));
            } else if (command == "request") {
                const std::int64_t at = steadyNs();
                say("sent " + std::to_string(at) + (sender.sendRequest() ? " 1" : " 0"));
            } else if (command == "elect") {
                std::uint64_t joinTime = 0;
                in >> joinTime;
                const std::int64_t at = steadyNs();
                say("sent " + std::to_string(at) + (sender.sendRequestWithTime(joinTime) ? " 1" : " 0"));
            } else if (command == "lead") {
                int on = 0;
                in >> on;
                groupLeader = on != 0;
                say("ok");
            } else if (command == "election") {
                std::lock_guard lock(groupElectionMutex);
                say("election " + std::to_string(groupElectionTime) + " " + std::to_string(groupElectionHash));
            } else if (command == "flood") {
                int rate = 0;
                in >> rate;
                flood.set(rate);
                say("ok");
            } else {
                say("unknown");
            }
        }
        running = false;
        SDL_Event quit;
        SDL_zero(quit);
        quit.type = SDL_EVENT_QUIT;
        SDL_PushEvent(&quit);
    });

    SDL_Event event;
    while (running) {
        if (!SDL_WaitEventTimeout(&event, 100)) continue;
        if (event.type == SDL_EVENT_QUIT) break;
        if (event.type != groupChangedEvent) continue;
        const std::int64_t at = steadyNs();
        std::int32_t position;
        bool pending;
        {
            std::lock_guard lock(groupSyncMutex);
            position = groupSlidePosition;
            pending = groupSlidePending;
            groupSlidePosition = -1;
            groupSlidePending = false;
        }
        say("wake " + std::to_string(at) + " " + std::to_string(pushedAt.load()) + " " + std::to_string(position) + (pending ? " 1" : " 0") +
            (groupLeader ? " 1" : " 0") + (groupAnswerRequested.exchange(false) ? " 1" : " 0"));
    }
    commands.join();
    listener.join();
    SDL_Quit();
    return 0;
}
