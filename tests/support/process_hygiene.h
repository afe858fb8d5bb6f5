#pragma once
// What a test that starts child processes must leave behind: no descriptor it did not find,
// and no child of this process, reaped or not (both read from /proc).
//
//   ProcessHygiene before;
//   ... run children ...
//   EXPECT_EQ(before.leftovers(), "");

#include <set>
#include <string>

namespace lumetta::testing {

class ProcessHygiene {
public:
    ProcessHygiene();
    // Empty when nothing is left; otherwise a description of each new descriptor and child.
    std::string leftovers() const;

private:
    std::set<int> descriptors_;
};

}  // namespace lumetta::testing
