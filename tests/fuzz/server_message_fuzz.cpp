// The service's messages as the WebSocket thread hands them to the handler. The first byte picks
// the frame kind and whether the data directory can be written; the rest is the frame. Nothing
// may escape the handler, and what it leaves behind must hold what its checks promise. The
// effects stay in a temporary directory and in fakes: no reboot, no television, no SDL events.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>

#include "device/command.h"
#include "link/server_messages.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

std::filesystem::path scratchDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path root = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    const std::filesystem::path directory = root / ("server-message-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory / "writable" / "lumetta");
    std::filesystem::create_directories(directory / "missing");
    return directory;
}

struct Fixture {
    Fixture() : command(seams()) {}

    static lumetta::CommandSeams seams() {
        lumetta::CommandSeams s;
        s.model = "";  // a board without a model: the television is never asked
        s.rebootAction = [] { return std::string(); };
        return s;
    }

    std::filesystem::path scratch = scratchDirectory();
    lumetta::Command command;
    std::ostringstream log;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    static Fixture fixture;
    if (size == 0) return 0;
    const std::uint8_t options = data[0];
    ++data;
    --size;

    ServerLinkState state;
    std::atomic<bool> running{true};
    std::atomic<bool> reset{false};
    PlaylistJobMailbox mailbox;
    ServerMessageContext context;
    context.state = &state;
    context.running = &running;
    context.factoryResetRequested = &reset;
    context.baseDirectory = (fixture.scratch / ((options & 2) != 0 ? "writable" : "missing")).string();
    context.command = &fixture.command;
    context.mailbox = &mailbox;
    context.pushEvent = [](std::uint32_t type, std::int32_t code) {
        check(type == playlistReadyEvent || type == groupChangedEvent || type == 0x100);
        check(code == 0);
        return true;
    };
    fixture.log.str({});
    context.errors = &fixture.log;

    const int kind = (options & 1) != 0 ? 2 : 1;
    handleServerMessage(reinterpret_cast<const char*>(data), static_cast<std::uint32_t>(size), kind, context);

    // What the checks promise about what was kept.
    for (const AvailablePlaylist& playlist : state.availablePlaylists) {
        check(!playlist.name.empty() && !playlist.id.empty());
    }
    const DisplayModeRequest& mode = state.displayModeRequest;
    if (mode.pending) check(mode.width >= 1 && mode.height >= 1 && mode.refreshRate > 0 && std::isfinite(mode.refreshRate));
    const std::optional<PlaylistJobRequest> queued = mailbox.waiting();
    if (queued) {
        check(!queued->sha1.empty());
        if (queued->emergency) check(!queued->id.empty());
        if (!queued->emergency) check(queued->activateAt >= 0);
    }
    if (state.waitingEmergencyUpdate && state.waitingEmergencyUpdate->kind == PlaylistUpdateKind::emergency) {
        check(state.waitingEmergencyUpdate->playlist != nullptr);
    }
    if (reset) check(!running);
    if (kind != 1) check(fixture.log.str().empty() && !queued && !mode.pending);
    return 0;
}
