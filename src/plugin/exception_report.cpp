#include "plugin/exception_report.h"

#include "plugin/log.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace plugin {
namespace {

// 0 = free, 1 = a report is being written (on any thread).
std::atomic<std::uint32_t> g_reporting{0};

// Static: the current phase points into it while the report is written. Both
// lines of a report go out in one flushed write.
char g_line[2 * 768];

// A fault that the game (or a driver, or another module) catches and
// survives reaches the reporter all the same, each time it happens: each
// distinct fault is reported once, and only the first few of them, so that
// the log stays true and bounded and a repeated fault costs no write.
constexpr int kMaxReports = 8;
constexpr const char* kSuppressed =
    "Exception reports: 8 faults reported; further ones are not reported.";
static_assert(kMaxReports == 8, "the suppression line names the number of reports");
struct Fault {
    std::uint32_t code;
    std::uintptr_t address;
};
Fault g_reported[kMaxReports];
int g_reportCount = 0;
bool g_suppressionSaid = false;

bool reported(std::uint32_t code) {
    switch (code) {
    case 0xC0000005u: // access violation
    case 0xC0000006u: // in-page error
    case 0xC000001Du: // illegal instruction
    case 0x80000002u: // misaligned data
        return true;
    default:
        return false;
    }
}

bool alreadyReported(const platform::FaultInfo& fault) {
    for (int i = 0; i < g_reportCount; ++i)
        if (g_reported[i].code == fault.code && g_reported[i].address == fault.address) return true;
    return false;
}

void writeReport(const platform::FaultInfo& fault) {
    std::uintptr_t base = 0;
    char module[260] = "";
    if (!platform::moduleAt(fault.address, &base, module, sizeof module)) {
        base = 0;
        module[0] = '\0';
    }
    unsigned long access = fault.parameterCount >= 1 ? static_cast<unsigned long>(fault.parameters[0]) : 0;
    unsigned long target = fault.parameterCount >= 2 ? static_cast<unsigned long>(fault.parameters[1]) : 0;

    int n = std::snprintf(g_line, 768,
                          "EXCEPTION code=%08lX address=%p module=%s offset=%08lX phase=%s "
                          "access=%lu target=%08lX ESP=%08lX",
                          static_cast<unsigned long>(fault.code),
                          reinterpret_cast<void*>(fault.address), module,
                          static_cast<unsigned long>(fault.address - base), currentPhase(), access,
                          target, static_cast<unsigned long>(fault.esp));
    if (n < 0) n = 0;
    if (n > 767) n = 767;
    std::snprintf(
        g_line + n, sizeof g_line - static_cast<std::size_t>(n),
        "\r\nREGISTERS EAX=%08lX EBX=%08lX ECX=%08lX EDX=%08lX ESI=%08lX EDI=%08lX EBP=%08lX",
        static_cast<unsigned long>(fault.eax), static_cast<unsigned long>(fault.ebx),
        static_cast<unsigned long>(fault.ecx), static_cast<unsigned long>(fault.edx),
        static_cast<unsigned long>(fault.esi), static_cast<unsigned long>(fault.edi),
        static_cast<unsigned long>(fault.ebp));
    phase(g_line, true);
}

} // namespace

void reportFault(const platform::FaultInfo& fault) {
    if (!reported(fault.code)) return;
    std::uint32_t expected = 0;
    if (!g_reporting.compare_exchange_strong(expected, 1)) return;

    if (!alreadyReported(fault)) {
        if (g_reportCount < kMaxReports) {
            g_reported[g_reportCount++] = Fault{fault.code, fault.address};
            writeReport(fault);
            setCurrentPhase("after exception report");
        } else if (!g_suppressionSaid) {
            g_suppressionSaid = true;
            // The phase of the step that faulted stays current.
            const char* step = currentPhase();
            phase(kSuppressed, true);
            setCurrentPhase(step);
        }
    }
    g_reporting.exchange(0);
}

void resetExceptionReportsForTesting() {
    g_reportCount = 0;
    g_suppressionSaid = false;
}

void installExceptionReporter() { platform::installFaultReporter(&reportFault); }

} // namespace plugin
