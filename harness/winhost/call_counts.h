#pragma once

// Every stand-in counts its uses by name, so that a test can see which calls
// the plug-in made and make the Nth use of one fail, as a loaded system would
// fail it (no memory, a locked file, a page that cannot be changed). A few
// calls have no failure in Windows (GetCurrentThreadId, memcpy, leaving a
// critical section): theirs are counted, and never fail.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace winhost {

enum class Failure { Possible, None };

class CallCounter {
  public:
    explicit CallCounter(const char* name, Failure failure = Failure::Possible);
    // Counts one use; true when this is the use armed to fail.
    bool failsNow();

  private:
    struct Entry* entry_;
};

// The `nth` use of `name` from now on fails, and the `count` - 1 after it
// (0 disarms).
void failOnUse(const char* name, std::uint32_t nth, std::uint32_t count = 1);
std::uint32_t uses(const char* name);
// False for a call Windows never fails (and for a name never used).
bool canFail(const char* name);
// Every stand-in used so far and how often, by name.
std::vector<std::pair<std::string, std::uint32_t>> callCounts();

} // namespace winhost
