#pragma once
// wpa_supplicant's configuration file of the wireless interface, and the text helpers for the
// SSIDs and passwords of the whole Wi-Fi layer.
//
// The file is bytes (no character set is assumed). The player edits only the network blocks it
// recognises by their SSID line; every other line (global settings, other networks, comments)
// stays byte for byte.
//
// SSIDs come in two forms. wpa_cli prints them escaped (`\"`, `\\`, `\e`, `\n`, `\r`, `\t`, and
// `\xNN` for every other byte outside 0x20-0x7E); that printed form is what the scan list shows
// and what every function of the Wi-Fi layer takes as its SSID argument. wpa_supplicant itself,
// its configuration file and the pre-shared key take the real bytes (`ssidBytes`), and it reads a
// quoted value verbatim up to the value's last double quote, so nothing inside is escaped.
//
// A block as the player writes it (the SSID's real bytes between the quotes):
//
//   (blank line)
//   network={
//   <tab>ssid="<SSID>"
//   <tab>psk=<64 lower-case hex digits>      or  key_mgmt=NONE  or  key_mgmt=OWE
//   }
//
// The file is read fresh for every save, forget and lookup; only the replacement is serialised.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "wifi/wpa_control.h"

namespace lumetta {

// "<config directory>/wpa_supplicant-<wirelessInterface()>.conf", built again at every call.
std::filesystem::path wpaConfigPath(const WpaSystem& system = {});

// A double quote, the text's bytes unchanged, a double quote: the form in which wpa_supplicant
// (its "set_network" command and its configuration file) reads a value verbatim.
std::string wpaQuote(std::string_view text);

// The real bytes of an SSID as wpa_cli prints it: `\\`, `\"`, `\e`, `\n`, `\r`, `\t` and `\x`
// with two hexadecimal digits stand for their byte; a backslash that starts none of these stands
// for itself. Text without a backslash is unchanged.
std::string ssidBytes(std::string_view printed);

// No byte is a control character (0x00-0x1F) or DEL (0x7F); bytes 0x80-0xFF count as printable.
bool isPrintableAscii(std::string_view text);

// The file's bytes; an empty text when it does not exist; no value when it cannot be read (its
// status cannot be queried, it cannot be opened, or reading fails, as for a directory).
std::optional<std::string> readWpaConfig(const WpaSystem& system = {});

// Takes every block of the (printed) `ssid` out of `text`, with one blank line next to it (the
// one before when there is one, else the one after). A block runs from a "network={" line to
// the next line holding just "}" (spaces, tabs and carriage returns around either do not
// matter); it belongs to the SSID when its last "ssid=" line (the one the daemon goes by) is
// "ssid=" followed by the quoted real bytes or by their lower-case hexadecimal digits (the form
// wpa_supplicant writes for a name with bytes outside 0x20-0x7E). A block that another "network={" line interrupts is no block
// (nothing of it is taken), and an unterminated one ends the search. Only whole lines are
// taken. True when something was removed.
bool removeNetworkFromConfig(std::string& text, const std::string& ssid);

// The file holds an "ssid=" line of the (printed) SSID in either form above. False when it
// cannot be read.
bool isWiFiNetworkSaved(const std::string& ssid, const WpaSystem& system = {});

// Replaces the SSID's blocks by one new block at the end of the file: the quoted real bytes of
// the (printed) SSID, and "psk=" with the key derived from the password (PBKDF2-HMAC-SHA1, the
// SSID's real bytes as salt, 4096 rounds, 32 bytes), or "key_mgmt=OWE" / "key_mgmt=NONE"
// without a password. Refused (false, nothing written) as `joinWiFiNetwork` refuses, and when
// the file cannot be read or the key cannot be derived.
bool saveWiFiNetwork(const std::string& ssid, const std::string& password, bool owe, const WpaSystem& system = {});

// Replaces the file with `text`: a temporary file beside it (mkstemp, so owner-only), every byte
// written, flushed, renamed over the file, the directory flushed. On a failure before the rename
// the old file stays and the temporary is removed; a failed directory flush reports false with
// the new file already in place. Replacements run one at a time.
bool writeWpaConfig(const std::string& text, const WpaSystem& system = {});

// Whether a join or a save of this (printed) SSID and password is allowed: a non-empty SSID,
// the SSID's real bytes and the password printable, and no password together with `owe`.
bool wpaNetworkAcceptable(const std::string& ssid, const std::string& password, bool owe);

// The 32-byte pre-shared key of a passphrase and the SSID's real bytes (IEEE 802.11i), as 64
// lower-case hex digits; empty when the derivation fails.
std::string wpaPreSharedKey(std::string_view passphrase, std::string_view ssid);

}  // namespace lumetta
