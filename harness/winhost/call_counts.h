#pragma once

// Every stand-in counts its uses by name, so that a test can see which calls
// the plug-in made and make the Nth use of one fail, as a loaded system would
// fail it (no memory, a locked file, a page that cannot be changed).

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace winhost {

class CallCounter {
  public:
    explicit CallCounter(const char* name);
    // Counts one use; true when this is the use armed to fail.
    bool failsNow();

  private:
    struct Entry* entry_;
};

// The `nth` use of `name` from now on fails (0 disarms).
void failOnUse(const char* name, std::uint32_t nth);
std::uint32_t uses(const char* name);
// Every stand-in used so far and how often, by name.
std::vector<std::pair<std::string, std::uint32_t>> callCounts();

} // namespace winhost
