#pragma once
// The pieces of the program's start and end that do not need the display or the threads:
// command line, usage text, device identity, settings read at start, the display retry loop
// and the factory reset. `main` strings them together.

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>

#include "core/display_mode.h"

namespace lumetta {

inline constexpr const char* programVersion = "39.21.0";
inline constexpr const char* machineIdPath = "/var/lib/dbus/machine-id";

enum class LaunchAction {
    Run,           // the managed player
    LocalPackage,  // the first argument names a playlist package
    Help,
    ShowGitHash,
};

// What the command line asks for. Only one option is taken per run; geometry and options do not mix.
struct LaunchOptions {
    LaunchAction action = LaunchAction::Run;
    std::string videoDriver;  // empty: SDL chooses
    int x = 0;                // -1 centres the window on that axis
    int y = 0;
    int width = 0;            // 0: the display chooses
    int height = 0;
    bool mirror = false;
    bool watchdog = false;
    bool showCodecInformation = false;
};

// True when the extension of `argument`, taken as a path, is exactly ".zip".
bool isLocalPackageArgument(const char* argument);

LaunchOptions parseCommandLine(int argc, const char* const* argv);

// The text of --help (without the empty line that follows it).
void printUsage(std::ostream& out);
// "Show Hash: " and the build's commit (without the empty line that follows it).
void printGitHash(std::ostream& out);

// Handles everything the command line decides before a run: prints help or the commit hash, and
// announces and applies the switches (`showCodecInformation`). Returns the exit status when the
// run ends here; otherwise `options.action` says what `main` runs next (the managed player, or
// the local package player with the whole command line).
std::optional<int> handleCommandLine(int argc, char** argv, LaunchOptions& options, std::ostream& out);

// Sets `configBaseDirectory`, creates the data directory when missing, migrates the legacy
// configuration and reads the device name and the display rotation.
void loadStartupSettings(const std::string& baseDirectory, std::ostream& err);

// The serial number, or the machine id when there is none (empty or sixteen zeros); line feeds
// removed and letters upper-cased.
std::string deriveDeviceId(const std::string& serialNumber, const std::string& machineIdFile = machineIdPath);

// The stored display mode, asked for only when the command line gave no geometry at all.
std::optional<DisplayMode> requestedDisplayMode(const LaunchOptions& options, const std::string& baseDirectory);

// Calls `attempt` until it returns without throwing a standard exception, calling `waitOneSecond`
// between attempts, with the waiting lines on failure 1 and every 30th and the recovery line at
// the end. Returns the number of failures.
int retryUntilDisplayUp(const std::function<void()>& attempt, const std::function<void()>& waitOneSecond,
                        std::ostream& out, std::ostream& err);

enum class FactoryResetResult { Cleared, Refused, Failed };

// The two file-system steps of a factory reset. The real ones (`diskResetSteps()`) act on the
// disk; tests that only check the refusal hand in steps that record instead, so a weakened
// check can never reach the machine's own directories.
class ResetSteps {
public:
    virtual ~ResetSteps() = default;
    virtual void removeAll(const std::filesystem::path& path, std::error_code& error);
    virtual void createDirectories(const std::filesystem::path& path, std::error_code& error);
};

ResetSteps& diskResetSteps();

// Deletes and recreates the data directory under `baseDirectory` after checking that it lies
// directly inside it, then calls `reboot`. Nothing is removed and `reboot` is not called when the
// path is unsafe or clearing fails.
FactoryResetResult factoryReset(const std::string& baseDirectory, const std::function<void()>& reboot,
                                std::ostream& out, std::ostream& err, ResetSteps& steps = diskResetSteps());

}  // namespace lumetta
