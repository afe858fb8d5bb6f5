#include "support/fake_wpa.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace lumetta::testing {

namespace fs = std::filesystem;

FakeWpa::FakeWpa(std::string name) : interface(std::move(name)) {
    fs::create_directories(root / "net" / "lo");
    fs::create_directories(root / "net" / interface / "wireless");
    fs::create_directories(root / "wpa_supplicant");
    system.netDirectory = root / "net";
    system.configDirectory = root / "wpa_supplicant";
}

std::string FakeWpa::key(const std::string& command) const {
    return command == "@any" ? command : "-i " + interface + " " + command;
}

void FakeWpa::answer(const std::string& command, const FakeAnswer& answer) {
    fakes.clear("wpa_cli", key(command));
    fakes.answer("wpa_cli", key(command), answer);
}

void FakeWpa::sequence(const std::string& command, const std::vector<FakeAnswer>& answers) {
    fakes.clear("wpa_cli", key(command));
    fakes.sequence("wpa_cli", key(command), answers);
}

std::vector<std::string> FakeWpa::commands() const {
    const std::string prefix = "wpa_cli -i " + interface + " ";
    std::vector<std::string> commands;
    for (const std::string& line : fakes.log()) {
        if (line.starts_with(prefix)) commands.push_back(line.substr(prefix.size()));
    }
    return commands;
}

fs::path FakeWpa::configPath() const { return system.configDirectory / ("wpa_supplicant-" + interface + ".conf"); }

std::optional<std::string> FakeWpa::config() const {
    std::ifstream in(configPath(), std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void FakeWpa::writeConfig(const std::string& text) const { writeTestFile(configPath(), text); }

std::string printedSsid(std::string_view bytes) {
    std::string printed;
    for (char c : bytes) {
        switch (c) {
        case '"': printed += "\\\""; break;
        case '\\': printed += "\\\\"; break;
        case '\033': printed += "\\e"; break;
        case '\n': printed += "\\n"; break;
        case '\r': printed += "\\r"; break;
        case '\t': printed += "\\t"; break;
        default: {
            const auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x20 && byte <= 0x7E) {
                printed += c;
            } else {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", byte);
                printed += hex;
            }
        }
        }
    }
    return printed;
}

std::string statusAnswer(const std::string& printed, const std::string& state) {
    return "bssid=02:00:00:00:01:00\nfreq=2412\nssid=" + printed +
           "\nid=0\nmode=station\npairwise_cipher=CCMP\ngroup_cipher=CCMP\nkey_mgmt=WPA2-PSK\nwpa_state=" + state +
           "\nip_address=192.168.1.20\naddress=02:00:00:00:00:00\n";
}

}  // namespace lumetta::testing
