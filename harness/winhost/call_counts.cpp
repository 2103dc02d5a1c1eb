#include "winhost/call_counts.h"

#include <map>

namespace winhost {

struct Entry {
    std::uint32_t uses = 0;
    std::uint32_t failAt = 0;
    std::uint32_t failCount = 0;
    bool canFail = true;
};

namespace {
// Nodes stay where they are: counters keep a pointer to theirs.
std::map<std::string, Entry>& entries() {
    static std::map<std::string, Entry> table;
    return table;
}
} // namespace

CallCounter::CallCounter(const char* name, Failure failure) : entry_(&entries()[name]) {
    entry_->canFail = failure == Failure::Possible;
}

bool CallCounter::failsNow() {
    ++entry_->uses;
    return entry_->canFail && entry_->failAt != 0 && entry_->uses >= entry_->failAt &&
           entry_->uses - entry_->failAt < entry_->failCount;
}

void failOnUse(const char* name, std::uint32_t nth, std::uint32_t count) {
    Entry& e = entries()[name];
    e.failAt = nth == 0 ? 0 : e.uses + nth;
    e.failCount = count;
}

std::uint32_t uses(const char* name) {
    auto it = entries().find(name);
    return it == entries().end() ? 0 : it->second.uses;
}

bool canFail(const char* name) {
    auto it = entries().find(name);
    return it != entries().end() && it->second.canFail;
}

std::vector<std::pair<std::string, std::uint32_t>> callCounts() {
    std::vector<std::pair<std::string, std::uint32_t>> out;
    for (const auto& [name, e] : entries())
        if (e.uses != 0) out.emplace_back(name, e.uses);
    return out;
}

} // namespace winhost
