// wpa_supplicant's configuration file: quoting and the printable test, the pre-shared key, the
// block removal over texts of every shape, the bytes a save writes, and the replacement with its
// flushes (a failure before the rename keeps the old file; a failed directory flush reports false).
#include "wifi/wpa_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "support/fake_wpa.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::FakeWpa;

const std::string homeKey = "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e";  // "password", "IEEE"

std::string openBlock(const std::string& quoted) { return "\nnetwork={\n\tssid=" + quoted + "\n\tkey_mgmt=NONE\n}\n"; }

std::vector<std::string> directoryEntries(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Flushes that fail on request and count what was asked.
class ScriptedSync : public SyncSteps {
public:
    bool failFile = false;
    bool failDirectory = false;
    int fileSyncs = 0;
    int directorySyncs = 0;
    bool syncFile(int fd) override {
        ++fileSyncs;
        if (failFile) {
            errno = EIO;
            return false;
        }
        return SyncSteps::syncFile(fd);
    }
    bool syncDirectory(const std::filesystem::path& directory) override {
        ++directorySyncs;
        return !failDirectory && SyncSteps::syncDirectory(directory);
    }
};

TEST(WpaText, QuotingAndThePrintableTest) {
    // Verbatim: the daemon reads a quoted value up to its last double quote, escaping nothing.
    EXPECT_EQ(wpaQuote("ab\"c\\d"), "\"ab\"c\\d\"");
    EXPECT_EQ(wpaQuote(""), "\"\"");
    EXPECT_EQ(wpaQuote("caf\xc3\xa9 \x7e"), "\"caf\xc3\xa9 \x7e\"");
    const std::pair<std::string, bool> printable[] = {
        {"", true},        {"Home Wi-Fi ~!", true}, {"caf\xc3\xa9 \xe2\x82\xac", true}, {"\xff\x80", true},
        {"a\tb", false},   {"a\nb", false},         {"\x1f", false},                   {"del\x7f", false},
        {std::string("a\0b", 3), false},
    };
    for (const auto& [text, expected] : printable) EXPECT_EQ(isPrintableAscii(text), expected) << text;
}

TEST(WpaText, PrintedSsidsDecodeToTheirBytes) {
    std::string every;
    for (int byte = 0; byte < 256; ++byte) every += static_cast<char>(byte);
    EXPECT_EQ(ssidBytes(testing::printedSsid(every)), every);
    const std::pair<std::string, std::string> cases[] = {
        {"Home", "Home"},
        {"caf\\xc3\\xa9", "caf\xc3\xa9"},
        {"\\xC3\\xA9", "\xc3\xa9"},
        {"a\\\"b\\\\c", "a\"b\\c"},
        {"\\e\\n\\r\\t", "\033\n\r\t"},
        // A backslash that starts no escape stands for itself.
        {"a\\", "a\\"},
        {"\\x4", "\\x4"},
        {"\\xg1", "\\xg1"},
        {"\\q\\0", "\\q\\0"},
        {"", ""},
    };
    for (const auto& [printed, bytes] : cases) EXPECT_EQ(ssidBytes(printed), bytes) << printed;
}

TEST(WpaText, ThePreSharedKeyIsThatOfThePublishedVectors) {
    struct Case {
        std::string passphrase;
        std::string ssid;
        const char* key;
    };
    const Case cases[] = {
        {"password", "IEEE", "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e"},
        {"ThisIsAPassword", "ThisIsASSID", "0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af"},
        {std::string(32, 'a'), std::string(32, 'Z'), "becb93866bb8c3832cb777c2f559807c8c59afcb6eae734885001300a981cc62"},
    };
    for (const Case& c : cases) EXPECT_EQ(wpaPreSharedKey(c.passphrase, c.ssid), c.key) << c.passphrase;
}

TEST(WpaConfigRemoval, TakesTheSsidsBlocksWithOneBlankLineEach) {
    struct Case {
        const char* name;
        std::string before;
        std::string after;  // equal to before: nothing removed
    };
    const std::string home = "network={\n\tssid=\"Home\"\n\tkey_mgmt=NONE\n}";
    const std::string office = "network={\n\tssid=\"Office\"\n\tkey_mgmt=NONE\n}";
    const Case cases[] = {
        {"the blank line before goes", "a=1\n\n" + home + "\n\n" + office + "\n", "a=1\n\n" + office + "\n"},
        {"else the blank line after", "a=1\n" + home + "\n\n" + office + "\n", "a=1\n" + office + "\n"},
        {"only one blank line goes", "a=1\n\n\n" + home + "\n\n\nb=2\n", "a=1\n\n\n\nb=2\n"},
        {"a blank line of spaces and tabs", "a=1\n \t\n" + home + "\nb=2\n", "a=1\nb=2\n"},
        {"at the very start", home + "\n\nb=2\n", "b=2\n"},
        {"at the end without a line feed", "a=1\n\n" + home, "a=1\n"},
        {"every block of the SSID", "\n" + home + "\n\n" + office + "\n\n" + home + "\n", "\n" + office + "\n"},
        {"a file of just the saved block", "\n" + home + "\n", ""},
        {"carriage returns", "a=1\r\n\r\nnetwork={\r\n\tssid=\"Home\"\r\n}\r\n\r\nb=2\r\n", "a=1\r\n\r\nb=2\r\n"},
        {"an indented brace ends the block", "\nnetwork={\n\tssid=\"Home\"\n\t}\n\n" + office + "\n", "\n" + office + "\n"},
        {"an unterminated block ends the search", "\n" + office + "\n\nnetwork={\n\tssid=\"Home\"\n",
         "\n" + office + "\n\nnetwork={\n\tssid=\"Home\"\n"},
        {"a block cut short by the next one is none",
         "network={\n\tssid=\"Home\"\n  network={\n\tssid=\"Office\"\n}\n",
         "network={\n\tssid=\"Home\"\n  network={\n\tssid=\"Office\"\n}\n"},
        {"the search goes on after a block cut short", "network={\n\tssid=\"Office\"\n" + home + "\n",
         "network={\n\tssid=\"Office\"\n"},
        {"other SSIDs stay", "\n" + office + "\n", "\n" + office + "\n"},
        {"the value must be the whole SSID", "\nnetwork={\n\tssid=\"Home2\"\n}\n\nnetwork={\n\tssid=\"Home\" x\n}\n",
         "\nnetwork={\n\tssid=\"Home2\"\n}\n\nnetwork={\n\tssid=\"Home\" x\n}\n"},
        {"the last ssid line names the block", "\nnetwork={\n\tssid=\"Home\"\n\tssid=\"Other\"\n}\n",
         "\nnetwork={\n\tssid=\"Home\"\n\tssid=\"Other\"\n}\n"},
        {"a commented ssid line is no ssid line", "\nnetwork={\n\t#ssid=\"Home\"\n\tssid=\"Other\"\n}\n",
         "\nnetwork={\n\t#ssid=\"Home\"\n\tssid=\"Other\"\n}\n"},
        {"the hexadecimal form goes too", "a=1\n\nnetwork={\n\tssid=486f6d65\n}\n", "a=1\n"},
        {"upper-case hexadecimal stays", "\nnetwork={\n\tssid=486F6D65\n}\n", "\nnetwork={\n\tssid=486F6D65\n}\n"},
        {"an escaped form stays", "\nnetwork={\n\tssid=\"Ho\\me\"\n}\n", "\nnetwork={\n\tssid=\"Ho\\me\"\n}\n"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        std::string text = c.before;
        EXPECT_EQ(removeNetworkFromConfig(text, "Home"), c.after != c.before) << c.name;
        EXPECT_EQ(text, c.after) << c.name;
    }
}

// Names are given as wpa_cli prints them; the file holds the real bytes, quoted verbatim, or
// their hex digits (as the daemon's own "save_config" writes a name with bytes outside ASCII).
TEST(WpaConfigRemoval, NamesWithEscapesMatchTheirRealBytes) {
    struct Case {
        const char* printed;
        std::string line;  // the block's ssid line
    };
    const Case cases[] = {
        {"caf\\xc3\\xa9", "ssid=\"caf\xc3\xa9\""},
        {"caf\\xc3\\xa9", "ssid=636166c3a9"},
        {"a\\\"b", "ssid=\"a\"b\""},
        {"a\\\\b", "ssid=\"a\\b\""},
        {"tab\\there", "ssid=7461620968657265"},
    };
    const std::string office = "network={\n\tssid=\"Office\"\n}\n";
    for (const Case& c : cases) {
        std::string text = office + "\nnetwork={\n\t" + c.line + "\n\tkey_mgmt=NONE\n}\n";
        EXPECT_TRUE(removeNetworkFromConfig(text, c.printed)) << c.printed;
        EXPECT_EQ(text, office) << c.printed;
    }
    // The escaped text is not the name: a block holding it belongs to another network.
    std::string text = "network={\n\tssid=\"caf\\xc3\\xa9\"\n}\n";
    EXPECT_FALSE(removeNetworkFromConfig(text, "caf\\xc3\\xa9"));
}

TEST(WpaConfigFile, ReadingMissingUnreadableAndLargeFiles) {
    FakeWpa wpa;
    EXPECT_EQ(readWpaConfig(wpa.system), std::string());  // missing: an empty configuration
    const std::string large = std::string(10 * 1024 * 1024, 'x') + "\n";
    wpa.writeConfig(large);
    EXPECT_EQ(readWpaConfig(wpa.system), large);
    std::filesystem::remove(wpa.configPath());
    std::filesystem::create_directories(wpa.configPath());
    EXPECT_EQ(readWpaConfig(wpa.system), std::nullopt);  // a directory cannot be read
    std::filesystem::remove(wpa.configPath());
    std::filesystem::create_symlink(wpa.configPath(), wpa.configPath());
    EXPECT_EQ(readWpaConfig(wpa.system), std::nullopt);  // its status cannot be queried
}

TEST(WpaConfigFile, APathFollowsTheWirelessInterface) {
    FakeWpa wpa("wlp1s0");
    EXPECT_EQ(wpaConfigPath(wpa.system), wpa.root / "wpa_supplicant" / "wpa_supplicant-wlp1s0.conf");
    EXPECT_EQ(wpaConfigPath(), std::filesystem::path("/etc/wpa_supplicant") / ("wpa_supplicant-" + wirelessInterface() + ".conf"));
}

TEST(WpaConfigFile, SavesWriteTheseBytes) {
    struct Case {
        const char* name;
        std::optional<std::string> before;
        std::string ssid;
        std::string password;
        bool owe;
        std::string after;
    };
    const std::string head = "ctrl_interface=DIR=/run/wpa_supplicant GROUP=netdev\nupdate_config=1\n";
    const std::string pskBlock = "\nnetwork={\n\tssid=\"IEEE\"\n\tpsk=" + homeKey + "\n}\n";
    const Case cases[] = {
        {"missing file", std::nullopt, "IEEE", "password", false, pskBlock},
        {"empty file", "", "Cafe", "", false, openBlock("\"Cafe\"")},
        {"OWE", head, "Cafe", "", true, head + "\nnetwork={\n\tssid=\"Cafe\"\n\tkey_mgmt=OWE\n}\n"},
        {"no final line feed", "update_config=1", "Cafe", "", false, "update_config=1\n" + openBlock("\"Cafe\"")},
        {"carriage returns stay", "a=1\r\n", "Cafe", "", false, "a=1\r\n" + openBlock("\"Cafe\"")},
        {"replaces the old block, appends the new",
         head + openBlock("\"IEEE\"") + openBlock("\"Office\""), "IEEE", "password", false,
         head + openBlock("\"Office\"") + pskBlock},
        {"unterminated block kept", "network={\n\tssid=\"IEEE\"\n", "IEEE", "password", false,
         "network={\n\tssid=\"IEEE\"\n" + pskBlock},
        {"the daemon's hex block replaced", "\nnetwork={\n\tssid=49454545\n\tpsk=\"password\"\n}\n", "IEEE",
         "password", false, pskBlock},
        {"real bytes of a printed name", "", "a\\\"b\\\\c\\xc3\\xa9", "", false, openBlock("\"a\"b\\c\xc3\xa9\"")},
    };
    for (const Case& c : cases) {
        FakeWpa wpa;
        if (c.before) wpa.writeConfig(*c.before);
        ::chmod(wpa.configPath().c_str(), 0644);
        ASSERT_TRUE(saveWiFiNetwork(c.ssid, c.password, c.owe, wpa.system)) << c.name;
        EXPECT_EQ(wpa.config(), c.after) << c.name;
        struct stat status {};
        ASSERT_EQ(::stat(wpa.configPath().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u) << c.name << ": not owner-only";
        EXPECT_EQ(directoryEntries(wpa.system.configDirectory), std::vector<std::string>{wpa.configPath().filename()})
            << c.name << ": a temporary file stayed";
        EXPECT_TRUE(isWiFiNetworkSaved(c.ssid, wpa.system)) << c.name;
    }
}

TEST(WpaConfigFile, RefusedSavesWriteNothing) {
    struct Case {
        const char* name;
        std::string ssid;
        std::string password;
        bool owe;
        bool unreadable;
    };
    const Case cases[] = {
        {"empty SSID", "", "password", false, false},
        {"control byte in the SSID", "Ca\tfe", "", false, false},
        {"control byte in the SSID's real bytes", "Ca\\x09fe", "", false, false},
        {"control byte in the password", "Cafe", "pass\nword", false, false},
        {"password with OWE", "Cafe", "password", true, false},
        {"unreadable file", "Cafe", "password", false, true},
    };
    for (const Case& c : cases) {
        FakeWpa wpa;
        if (c.unreadable) {
            std::filesystem::create_directories(wpa.configPath());
        } else {
            wpa.writeConfig("update_config=1\n");
        }
        EXPECT_FALSE(saveWiFiNetwork(c.ssid, c.password, c.owe, wpa.system)) << c.name;
        if (!c.unreadable) {
            EXPECT_EQ(wpa.config(), "update_config=1\n") << c.name;
        }
        EXPECT_EQ(directoryEntries(wpa.system.configDirectory).size(), 1u) << c.name;
    }
}

TEST(WpaConfigFile, ReplacementFailuresKeepTheOldFileUntilTheRename) {
    struct Case {
        const char* name;
        bool failFile;
        bool failDirectory;
        bool result;
        std::string content;  // afterwards
    };
    const Case cases[] = {
        {"all flushed", false, false, true, "new\n"},
        {"file flush fails: old file, no temporary", true, false, false, "old\n"},
        {"directory flush fails: new file in place, yet false", false, true, false, "new\n"},
    };
    for (const Case& c : cases) {
        FakeWpa wpa;
        wpa.writeConfig("old\n");
        ScriptedSync sync;
        sync.failFile = c.failFile;
        sync.failDirectory = c.failDirectory;
        wpa.system.sync = &sync;
        EXPECT_EQ(writeWpaConfig("new\n", wpa.system), c.result) << c.name;
        EXPECT_EQ(wpa.config(), c.content) << c.name;
        EXPECT_EQ(sync.fileSyncs, 1) << c.name;
        EXPECT_EQ(sync.directorySyncs, c.failFile ? 0 : 1) << c.name;
        EXPECT_EQ(directoryEntries(wpa.system.configDirectory), std::vector<std::string>{wpa.configPath().filename()})
            << c.name;
    }
    FakeWpa wpa;
    wpa.system.configDirectory = wpa.root / "missing";
    EXPECT_FALSE(writeWpaConfig("new\n", wpa.system));
    wpa.system.configDirectory = wpa.root / "wpa_supplicant";
    std::filesystem::create_directories(wpa.configPath() / "inside");  // a non-empty directory cannot be renamed over
    EXPECT_FALSE(writeWpaConfig("new\n", wpa.system));
    EXPECT_EQ(directoryEntries(wpa.system.configDirectory), std::vector<std::string>{wpa.configPath().filename()});
}

TEST(WpaConfigFile, ConcurrentReplacementsEachLeaveAWholeFile) {
    FakeWpa wpa;
    const std::string a(256 * 1024, 'a');
    const std::string b(256 * 1024, 'b');
    std::thread first([&] {
        for (int i = 0; i < 20; ++i) EXPECT_TRUE(writeWpaConfig(a, wpa.system));
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(writeWpaConfig(b, wpa.system));
        const std::optional<std::string> now = wpa.config();
        ASSERT_TRUE(now == a || now == b);
    }
    first.join();
    EXPECT_EQ(directoryEntries(wpa.system.configDirectory).size(), 1u);
}

TEST(WpaConfigFile, SavedLookups) {
    FakeWpa wpa;
    EXPECT_FALSE(isWiFiNetworkSaved("Home", wpa.system));
    wpa.writeConfig("network={\n  ssid=\"Home\"  \r\n}\nnetwork={\n\tssid=\"Home2\"\n}\n#ssid=\"Office\"\n"
                    "ssid=636166c3a9\nssid=\"a\"b\"\n");
    const std::pair<const char*, bool> cases[] = {{"Home", true},          {"Home2", true},   {"Hom", false},
                                                  {"Office", false},       {"", false},       {"caf\\xc3\\xa9", true},
                                                  {"a\\\"b", true}};
    for (const auto& [ssid, saved] : cases) EXPECT_EQ(isWiFiNetworkSaved(ssid, wpa.system), saved) << ssid;
    std::filesystem::remove(wpa.configPath());
    std::filesystem::create_directories(wpa.configPath());
    EXPECT_FALSE(isWiFiNetworkSaved("Home", wpa.system));
}

}  // namespace
}  // namespace lumetta
