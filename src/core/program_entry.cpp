#include "core/program_entry.h"

#include <cctype>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <system_error>

#include "core/build_info.h"
#include "core/config_store.h"
#include "core/file_utils.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "core/shared_defaults.h"

namespace lumetta {
namespace {

int parseNumber(const char* text) { return static_cast<int>(std::strtol(text, nullptr, 10)); }

void printFormLine(std::ostream& out, std::string_view form, std::string_view comment) {
    logText(out, std::string(ansi::WHITE) + " " + sharedDefaults().programDirectoryName + std::string(form) +
                     colored(ansi::YELLOW, comment));
}

}  // namespace

bool isLocalPackageArgument(const char* argument) {
    return std::filesystem::path(argument).extension() == ".zip";
}

LaunchOptions parseCommandLine(int argc, const char* const* argv) {
    LaunchOptions options;
    if (argc >= 2 && isLocalPackageArgument(argv[1])) {
        options.action = LaunchAction::LocalPackage;
    } else if (argc == 3) {
        options.width = parseNumber(argv[1]);
        options.height = parseNumber(argv[2]);
        options.x = -1;
        options.y = -1;
    } else if (argc == 5) {
        options.x = parseNumber(argv[1]);
        options.y = parseNumber(argv[2]);
        options.width = parseNumber(argv[3]);
        options.height = parseNumber(argv[4]);
    } else if (argc == 2) {
        const std::string_view option = argv[1];
        if (option == "--help") {
            options.action = LaunchAction::Help;
        } else if (option == "--show-git-hash") {
            options.action = LaunchAction::ShowGitHash;
        } else if (option == "--show-codec-information") {
            options.showCodecInformation = true;
        } else if (option == "--enable-watchdog") {
            options.watchdog = true;
        } else if (option == "--mirror") {
            options.mirror = true;
        } else {
            options.videoDriver = option;
        }
    }
    return options;
}

void printUsage(std::ostream& out) {
    const SharedDefaults& defaults = sharedDefaults();
    logText(out, std::string(ansi::BOLD_ORANGE) + " LUMETTA " + colored(ansi::BOLD_WHITE, programVersion) +
                     std::string(ansi::YELLOW) + "  # compatible with " +
                     colored(ansi::BOLD_ORANGE, defaults.httpScheme + "://" + defaults.serviceHost));
    logText(out, colored(ansi::GREY, " Unattended display player: plays the playlists of its management service "
                                     "full-screen."));
    logText(out, colored(ansi::GREY, " Settings and content are kept in the data directory " +
                                         defaults.programDirectoryName + " under /home."));
    logText(out, "");
    logText(out, std::string(ansi::WHITE) + colored(ansi::YELLOW, " Startup options:"));
    logText(out, std::string(ansi::WHITE) + " " + defaults.programDirectoryName + std::string(25, ' ') +
                     colored(ansi::YELLOW, "  # default to 1920x1080, when supported"));
    logText(out, " lumetta <playlist.zip> [--check | --capture directory [--motion-demo]]  # local sprite playback");
    printFormLine(out, " --show-git-hash         ", "  # show git hash");
    printFormLine(out, " --show-codec-information", "  # show codec information");
    printFormLine(out, " --enable-watchdog       ", "  # enable hardware Watchdog");
    printFormLine(out, " --mirror                ", "  # mirror the primary output to secondary displays");
    printFormLine(out, " {available}             ", "  # override default Video Driver");
    printFormLine(out, " <width> <height>        ", "  # force a resolution");
    printFormLine(out, " <x> <y> <width> <height>",
                  "  # set position (-1 in x or y will center on axis) and resolution");
}

void printGitHash(std::ostream& out) {
    logText(out, std::string(ansi::BOLD_YELLOW) + "Show Hash: " + colored(ansi::BOLD_WHITE, buildCommitHash()));
}

std::optional<int> handleCommandLine(int argc, char** argv, LaunchOptions& options, std::ostream& out) {
    options = parseCommandLine(argc, argv);
    switch (options.action) {
        case LaunchAction::LocalPackage: return std::nullopt;
        case LaunchAction::Help:
            printUsage(out);
            logText(out, "");
            return 255;
        case LaunchAction::ShowGitHash:
            printGitHash(out);
            logText(out, "");
            return 255;
        case LaunchAction::Run: break;
    }
    if (options.showCodecInformation) {
        showCodecInformation = true;
        logText(out, "Show Codec Information: " + colored(ansi::BOLD_GREEN, "ENABLED"));
    }
    if (options.watchdog) {
        logText(out, "Hardware Watchdog: " + colored(ansi::BOLD_GREEN, "ENABLED"));
    }
    return std::nullopt;
}

void loadStartupSettings(const std::string& baseDirectory, std::ostream& err) {
    configBaseDirectory = baseDirectory;
    // A fresh device has no data directory yet, and without it no setting could be saved.
    const std::filesystem::path dataDirectory = configPath(baseDirectory).parent_path();
    std::error_code error;
    std::filesystem::create_directories(dataDirectory, error);
    if (error) {
        logText(err, "[CONFIG] Unable to create data directory " + quoted(dataDirectory).str() + ": " + error.message());
    }
    if (!migrateLegacyConfig(baseDirectory)) {
        logText(err, "[CONFIG] Unable to migrate legacy device configuration");
    }
    setDeviceName(configString(baseDirectory, "name"));
    displayRotation = configInt(baseDirectory, "orientation", 0);
}

std::string deriveDeviceId(const std::string& serialNumber, const std::string& machineIdFile) {
    std::string id = serialNumber;
    if (id.empty() || id == "0000000000000000") id = readFile(machineIdFile);
    std::string result;
    result.reserve(id.size());
    for (char c : id) {
        if (c == '\n') continue;
        result.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    return result;
}

std::optional<DisplayMode> requestedDisplayMode(const LaunchOptions& options, const std::string& baseDirectory) {
    if (options.x != 0 || options.y != 0 || options.width != 0 || options.height != 0) return std::nullopt;
    std::optional<DisplayMode> stored = configDisplayMode(baseDirectory);
    if (stored) stored->pixelDensity = 1.0f;
    return stored;
}

int retryUntilDisplayUp(const std::function<void()>& attempt, const std::function<void()>& waitOneSecond,
                        std::ostream& out, std::ostream& err) {
    int failures = 0;
    for (;;) {
        try {
            attempt();
            break;
        } catch (const std::exception& failure) {
            ++failures;
            if (failures == 1 || failures % 30 == 0) {
                logText(err, std::string("[DISPLAY] Waiting for a video device: ") + failure.what() + "; retrying" +
                                 (failures % 30 == 0 ? " (still unavailable)" : ""));
            }
        }
        waitOneSecond();
    }
    if (failures > 0) logText(out, "[DISPLAY] Video device available after " + std::to_string(failures) + " retries");
    return failures;
}

void ResetSteps::removeAll(const std::filesystem::path& path, std::error_code& error) {
    std::filesystem::remove_all(path, error);
}

void ResetSteps::createDirectories(const std::filesystem::path& path, std::error_code& error) {
    std::filesystem::create_directories(path, error);
}

ResetSteps& diskResetSteps() {
    static ResetSteps steps;
    return steps;
}

FactoryResetResult factoryReset(const std::string& baseDirectory, const std::function<void()>& reboot,
                                std::ostream& out, std::ostream& err, ResetSteps& steps) {
    const std::string& name = sharedDefaults().programDirectoryName;
    const std::filesystem::path base = std::filesystem::path(baseDirectory).lexically_normal();
    const std::filesystem::path target = (base / name).lexically_normal();
    const bool safe = base.has_root_directory() && base != base.root_path() && target.parent_path() == base &&
                      target.filename() == name;
    if (!safe) {
        logText(err, "[FACTORY RESET] Refusing unsafe data path: " + quoted(target).str());
        return FactoryResetResult::Refused;
    }
    std::error_code error;
    steps.removeAll(target, error);
    if (!error) steps.createDirectories(target, error);
    if (error) {
        logText(err, "[FACTORY RESET] Failed to clear " + quoted(target).str() + ": " + error.message());
        return FactoryResetResult::Failed;
    }
    logText(out, "[FACTORY RESET] Cleared " + quoted(target).str());
    reboot();
    return FactoryResetResult::Cleared;
}

}  // namespace lumetta
