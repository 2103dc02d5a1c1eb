// The fault sweep: one scripted session (dents on player and traffic, bonnet
// and boot folds, a rear light, a held door, F7, a repair, traffic struck
// while the player is on foot, a deleted car and its reused slot, a restart,
// the shutdown) is first run clean to count the plug-in's uses of every host
// call and its own allocations; then it is run again once per fault: each
// host call failing at its Nth use, each allocation failing in turn. Every
// run must go on to a clean end: the frame invariants hold, nothing leaks or
// is freed twice, no exception reaches the host and the log holds only the
// plug-in's lines.
//
// Length: by default every call's first and last use, and the first 4
// allocations and 6 more spread over the rest (a stride), which fits the
// emulated sanitizer run of the test command. BW_SWEEP_FULL=1 fails every one
// of each call's first 32 uses and 8 more spread over the rest, and every one
// of the first 128 allocations and 32 more (failing each of the ~100,000
// triangle calls in turn would take days under the emulator).

#include "harness.h"
#include "sweep_script.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

// The uses to fail: the first `head` and `spread` more spread evenly over
// the rest.
std::vector<std::uint64_t> choose(std::uint64_t count, std::uint64_t head, std::uint64_t spread) {
    std::set<std::uint64_t> out;
    for (std::uint64_t n = 1; n <= count && n <= head; ++n) out.insert(n);
    if (count > head)
        for (std::uint64_t k = 1; k <= spread; ++k) out.insert(head + (count - head) * k / spread);
    return {out.begin(), out.end()};
}

} // namespace

int main() {
    const bool full = soak::envNumber("BW_SWEEP_FULL", 0) != 0;
    // The sanitizer build under the emulator takes seconds per session: there
    // the test command fails only the first use of the calls that create,
    // attach, lock and release a copy, and two allocations.
    const bool light = !full && soak::envNumber("BW_SWEEP_LIGHT", 0) != 0;
    const std::set<std::string> lightCalls = {"CreateGeometry", "DestroyGeometry", "SetGeometry",
                                              "Lock"};
    // BW_SWEEP_ONLY=<call index>:<use> or alloc:<n> reruns one case.
    if (const char* only = std::getenv("BW_SWEEP_ONLY")) {
        unsigned long a = 0, b = 0;
        const bool alloc = std::strncmp(only, "alloc:", 6) == 0;
        if (alloc ? std::sscanf(only + 6, "%lu", &b) != 1 : std::sscanf(only, "%lu:%lu", &a, &b) != 2) return 2;
        const soak::Figures f = soak::runChild(only, [&](soak::Figures& out) {
            soak::setContext(only);
            if (alloc) soak::failPluginAllocation(b);
            else soak::failPluginUse(static_cast<int>(a), static_cast<std::uint32_t>(b));
            soak::sweepScript(out);
        });
        return f.violations == 0 ? 0 : 1;
    }
    soak::setContext("reference run");
    const soak::Figures reference =
        soak::runChild("reference", [](soak::Figures& f) { soak::sweepScript(f); });
    if (reference.violations != 0 || reference.completed != 1) {
        std::printf("BW-SWEEP runs=1 faults=0 violations=%llu leaks=%llu exceptions=%llu\n",
                    static_cast<unsigned long long>(reference.violations + (reference.completed != 1)),
                    static_cast<unsigned long long>(reference.leaks),
                    static_cast<unsigned long long>(reference.exceptions));
        return 1;
    }
    std::printf("sweep: reference run: %llu frames, %llu plug-in allocations\n",
                static_cast<unsigned long long>(reference.frames),
                static_cast<unsigned long long>(reference.pluginAllocations));

    soak::Figures sum;
    std::uint64_t runs = 0, missed = 0;
    const auto add = [&](const soak::Figures& f) {
        ++runs;
        sum.frames += f.frames;
        sum.faultsInjected += f.faultsInjected;
        sum.violations += f.violations;
        sum.leaks += f.leaks;
        sum.exceptions += f.exceptions;
    };
    for (int call = 0; call < soak::kHostCalls; ++call) {
        if (light && lightCalls.count(soak::hostCallName(call)) == 0) continue;
        const std::vector<std::uint64_t> uses =
            choose(reference.uses[call], full ? 32 : 1, full ? 8 : light ? 0 : 1);
        std::printf("sweep: %s: %u uses, %zu runs\n", soak::hostCallName(call), reference.uses[call], uses.size());
        for (std::uint64_t nth : uses) {
            const std::string what = std::string(soak::hostCallName(call)) + " failing at use " + std::to_string(nth);
            const soak::Figures f = soak::runChild(what.c_str(), [&](soak::Figures& out) {
                soak::setContext(what);
                soak::failPluginUse(call, static_cast<std::uint32_t>(nth));
                soak::sweepScript(out);
            });
            if (f.faultsInjected != 1) ++missed;
            add(f);
        }
    }
    const std::vector<std::uint64_t> allocations = choose(reference.pluginAllocations, full ? 128 : light ? 1 : 4, full ? 32 : light ? 1 : 6);
    std::printf("sweep: allocations: %llu in the reference run, %zu runs\n",
                static_cast<unsigned long long>(reference.pluginAllocations), allocations.size());
    for (std::uint64_t nth : allocations) {
        const std::string what = "allocation " + std::to_string(nth) + " failing";
        soak::Figures f = soak::runChild(what.c_str(), [&](soak::Figures& out) {
            soak::setContext(what);
            soak::failPluginAllocation(nth);
            soak::sweepScript(out);
            if (soak::pluginAllocationFailed()) ++out.faultsInjected;
        });
        if (f.faultsInjected != 1) ++missed;
        add(f);
    }
    if (missed != 0) std::printf("sweep: %llu runs did not reach their fault\n", static_cast<unsigned long long>(missed));
    std::printf("BW-SWEEP runs=%llu frames=%llu faults=%llu violations=%llu leaks=%llu exceptions=%llu mode=%s\n",
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(sum.frames),
                static_cast<unsigned long long>(sum.faultsInjected), static_cast<unsigned long long>(sum.violations),
                static_cast<unsigned long long>(sum.leaks), static_cast<unsigned long long>(sum.exceptions),
                full ? "long" : "bounded");
    return sum.violations == 0 && sum.leaks == 0 && sum.exceptions == 0 && missed == 0 ? 0 : 1;
}
