#include "plugin/exception_report.h"

#include "plugin/log.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace plugin {
namespace {

// 0 = free, 1 = a report is being written (on any thread).
std::atomic<std::uint32_t> g_reporting{0};

// Static: the current phase points into it while the report is written.
char g_line[768];

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

} // namespace

void reportFault(const platform::FaultInfo& fault) {
    if (!reported(fault.code)) return;
    std::uint32_t expected = 0;
    if (!g_reporting.compare_exchange_strong(expected, 1)) return;

    std::uintptr_t base = 0;
    char module[260] = "";
    if (!platform::moduleAt(fault.address, &base, module, sizeof module)) {
        base = 0;
        module[0] = '\0';
    }
    unsigned long access = fault.parameterCount >= 1 ? static_cast<unsigned long>(fault.parameters[0]) : 0;
    unsigned long target = fault.parameterCount >= 2 ? static_cast<unsigned long>(fault.parameters[1]) : 0;

    std::snprintf(g_line, sizeof g_line,
                  "EXCEPTION code=%08lX address=%p module=%s offset=%08lX phase=%s access=%lu target=%08lX ESP=%08lX",
                  static_cast<unsigned long>(fault.code), reinterpret_cast<void*>(fault.address), module,
                  static_cast<unsigned long>(fault.address - base), currentPhase(), access, target,
                  static_cast<unsigned long>(fault.esp));
    phase(g_line, true);
    std::snprintf(g_line, sizeof g_line,
                  "REGISTERS EAX=%08lX EBX=%08lX ECX=%08lX EDX=%08lX ESI=%08lX EDI=%08lX EBP=%08lX",
                  static_cast<unsigned long>(fault.eax), static_cast<unsigned long>(fault.ebx),
                  static_cast<unsigned long>(fault.ecx), static_cast<unsigned long>(fault.edx),
                  static_cast<unsigned long>(fault.esi), static_cast<unsigned long>(fault.edi),
                  static_cast<unsigned long>(fault.ebp));
    phase(g_line, true);

    setCurrentPhase("after exception report");
    g_reporting.exchange(0);
}

void installExceptionReporter() { platform::installFaultReporter(&reportFault); }

} // namespace plugin
