#pragma once
// The built-in picture the pairing panel shows while a remote control is being paired: a PNG
// file linked into the program.

#include <cstddef>

namespace lumetta {

extern const unsigned char pairingHelpPng[];
extern const std::size_t pairingHelpPngSize;

}  // namespace lumetta
