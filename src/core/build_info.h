#pragma once

namespace lumetta {
// The commit the program was built from: 40 hexadecimal digits, or 40 zeros without git metadata.
const char* buildCommitHash();
}  // namespace lumetta
