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
#include "core/palette.h"
#include "core/process_state.h"
#include "core/shared_defaults.h"

namespace lumetta {
namespace {

int parseNumber(const char* text) { return static_cast<int>(std::strtol(text, nullptr, 10)); }

void printFormLine(std::ostream& out, std::string_view form, std::string_view comment) {
    out << ansi::WHITE << " " << sharedDefaults().programDirectoryName << form << ansi::YELLOW << comment
        << ansi::RESET << std::endl;
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
    out << ansi::BOLD_ORANGE << " LUMETTA " << ansi::BOLD_WHITE << programVersion << ansi::RESET << ansi::YELLOW
        << "  # compatible with " << ansi::BOLD_ORANGE << sharedDefaults().httpScheme << "://"
        << sharedDefaults().serviceHost << ansi::RESET << std::endl;
    out << ansi::GREY << " Unattended display player: plays the playlists of its management service full-screen."
        << ansi::RESET << std::endl;
    out << ansi::GREY << " Settings and content are kept in the data directory " << sharedDefaults().programDirectoryName
        << " under /home." << ansi::RESET << std::endl;
    out << std::endl;
    out << ansi::WHITE << ansi::YELLOW << " Startup options:" << ansi::RESET << std::endl;
    out << ansi::WHITE << " " << sharedDefaults().programDirectoryName << std::string(25, ' ') << ansi::YELLOW
        << "  # default to 1920x1080, when supported" << ansi::RESET << std::endl;
    out << " lumetta <playlist.zip> [--check | --capture directory [--motion-demo]]  # local sprite playback"
        << std::endl;
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
    out << ansi::BOLD_YELLOW << "Show Hash: " << ansi::BOLD_WHITE << buildCommitHash() << ansi::RESET << std::endl;
}

std::optional<int> handleCommandLine(int argc, char** argv, LaunchOptions& options, std::ostream& out) {
    options = parseCommandLine(argc, argv);
    switch (options.action) {
        case LaunchAction::LocalPackage: return std::nullopt;
        case LaunchAction::Help:
            printUsage(out);
            out << std::endl;
            return 255;
        case LaunchAction::ShowGitHash:
            printGitHash(out);
            out << std::endl;
            return 255;
        case LaunchAction::Run: break;
    }
    if (options.showCodecInformation) {
        showCodecInformation = true;
        out << "Show Codec Information: " << ansi::BOLD_GREEN << "ENABLED" << ansi::RESET << std::endl;
    }
    if (options.watchdog) {
        out << "Hardware Watchdog: " << ansi::BOLD_GREEN << "ENABLED" << ansi::RESET << std::endl;
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
        err << "[CONFIG] Unable to create data directory " << quoted(dataDirectory) << ": " << error.message()
            << std::endl;
    }
    if (!migrateLegacyConfig(baseDirectory)) {
        err << "[CONFIG] Unable to migrate legacy device configuration" << std::endl;
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
                err << "[DISPLAY] Waiting for a video device: " << failure.what() << "; retrying"
                    << (failures % 30 == 0 ? " (still unavailable)" : "") << std::endl;
            }
        }
        waitOneSecond();
    }
    if (failures > 0) out << "[DISPLAY] Video device available after " << failures << " retries" << std::endl;
    return failures;
}

FactoryResetResult factoryReset(const std::string& baseDirectory, const std::function<void()>& reboot,
                                std::ostream& out, std::ostream& err) {
    const std::string& name = sharedDefaults().programDirectoryName;
    const std::filesystem::path base = std::filesystem::path(baseDirectory).lexically_normal();
    const std::filesystem::path target = (base / name).lexically_normal();
    const bool safe = base.has_root_directory() && base != base.root_path() && target.parent_path() == base &&
                      target.filename() == name;
    if (!safe) {
        err << "[FACTORY RESET] Refusing unsafe data path: " << quoted(target) << std::endl;
        return FactoryResetResult::Refused;
    }
    std::error_code error;
    std::filesystem::remove_all(target, error);
    if (!error) std::filesystem::create_directories(target, error);
    if (error) {
        err << "[FACTORY RESET] Failed to clear " << quoted(target) << ": " << error.message() << std::endl;
        return FactoryResetResult::Failed;
    }
    out << "[FACTORY RESET] Cleared " << quoted(target) << std::endl;
    reboot();
    return FactoryResetResult::Cleared;
}

}  // namespace lumetta
