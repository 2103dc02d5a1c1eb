#include "winhost/call_counts.h"

#include <map>

namespace winhost {

struct Entry {
    std::uint32_t uses = 0;
    std::uint32_t failAt = 0;
};

namespace {
// Nodes stay where they are: counters keep a pointer to theirs.
std::map<std::string, Entry>& entries() {
    static std::map<std::string, Entry> table;
    return table;
}
} // namespace

CallCounter::CallCounter(const char* name) : entry_(&entries()[name]) {}

bool CallCounter::failsNow() {
    ++entry_->uses;
    return entry_->failAt != 0 && entry_->uses == entry_->failAt;
}

void failOnUse(const char* name, std::uint32_t nth) {
    Entry& e = entries()[name];
    e.failAt = nth == 0 ? 0 : e.uses + nth;
}

std::uint32_t uses(const char* name) {
    auto it = entries().find(name);
    return it == entries().end() ? 0 : it->second.uses;
}

std::vector<std::pair<std::string, std::uint32_t>> callCounts() {
    std::vector<std::pair<std::string, std::uint32_t>> out;
    for (const auto& [name, e] : entries())
        if (e.uses != 0) out.emplace_back(name, e.uses);
    return out;
}

} // namespace winhost
