// Vectored exception handlers fed by real faults: a signal from the CPU
// becomes the exception record and register context Windows would pass.
// When every handler continues the search, the signal goes on as it would
// have without them.

#include "platform/signal_chain_posix.h"
#include "winhost/call_counts.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"

#include <signal.h>
#include <sys/ucontext.h>

#include <cstring>

namespace winhost {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGTRAP};
constexpr int kSignalCount = 4;
constexpr std::size_t kMaxHandlers = 8;
constexpr unsigned long kErrWrite = 0x2, kErrFetch = 0x10; // page-fault error code bits

struct sigaction g_previous[kSignalCount];
bool g_installed = false;
VectoredHandler g_handlers[kMaxHandlers];
std::size_t g_handlerCount = 0;

void describe(int sig, const siginfo_t* info, const ucontext_t* uc, ExceptionRecord& record,
              Context& context) {
    const greg_t* g = uc->uc_mcontext.gregs;
    context.contextFlags = kContextControl | kContextInteger | kContextSegments;
    context.eax = static_cast<DWORD>(g[REG_EAX]);
    context.ebx = static_cast<DWORD>(g[REG_EBX]);
    context.ecx = static_cast<DWORD>(g[REG_ECX]);
    context.edx = static_cast<DWORD>(g[REG_EDX]);
    context.esi = static_cast<DWORD>(g[REG_ESI]);
    context.edi = static_cast<DWORD>(g[REG_EDI]);
    context.ebp = static_cast<DWORD>(g[REG_EBP]);
    context.esp = static_cast<DWORD>(g[REG_ESP]);
    context.eip = static_cast<DWORD>(g[REG_EIP]);
    context.eflags = static_cast<DWORD>(g[REG_EFL]);
    context.segCs = static_cast<DWORD>(g[REG_CS]) & 0xFFFFu;
    context.segSs = static_cast<DWORD>(g[REG_SS]) & 0xFFFFu;
    context.segDs = static_cast<DWORD>(g[REG_DS]) & 0xFFFFu;
    context.segEs = static_cast<DWORD>(g[REG_ES]) & 0xFFFFu;
    context.segFs = static_cast<DWORD>(g[REG_FS]) & 0xFFFFu;
    context.segGs = static_cast<DWORD>(g[REG_GS]) & 0xFFFFu;

    record.address = reinterpret_cast<void*>(static_cast<std::uintptr_t>(context.eip));
    const auto target = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const unsigned long err = static_cast<unsigned long>(g[REG_ERR]);
    // A page fault carries its error code; a protection fault (SI_KERNEL)
    // has none to tell a read from a write.
    const bool pageFault = info->si_code > 0 && info->si_code != SI_KERNEL;
    const std::uintptr_t access = pageFault ? ((err & kErrFetch)   ? 8
                                               : (err & kErrWrite) ? 1
                                                                   : 0)
                                            : 0;
    switch (sig) {
    case SIGSEGV:
        record.code = 0xC0000005u; // access violation
        record.parameterCount = 2;
        record.information[0] = access;
        record.information[1] = pageFault ? target : ~std::uintptr_t(0);
        break;
    case SIGBUS:
        record.code = info->si_code == BUS_ADRALN ? 0x80000002u : 0xC0000006u;
        if (record.code == 0xC0000006u) {
            record.parameterCount = 3;
            record.information[0] = access;
            record.information[1] = target;
            record.information[2] = 0xC000009Cu; // STATUS_DEVICE_DATA_ERROR
        }
        break;
    case SIGILL:
        record.code = 0xC000001Du;
        break; // illegal instruction
    default:
        record.code = 0x80000003u; // breakpoint
        // int3 leaves EIP after the instruction; Windows reports the
        // instruction itself and resumes after it.
        if (info->si_code == SI_KERNEL || info->si_code == TRAP_BRKPT) {
            record.address = reinterpret_cast<void*>(static_cast<std::uintptr_t>(context.eip - 1));
            context.eip -= 1;
        }
        record.parameterCount = 1;
        break;
    }
}

void applyContext(const Context& context, ucontext_t* uc) {
    greg_t* g = uc->uc_mcontext.gregs;
    g[REG_EAX] = static_cast<greg_t>(context.eax);
    g[REG_EBX] = static_cast<greg_t>(context.ebx);
    g[REG_ECX] = static_cast<greg_t>(context.ecx);
    g[REG_EDX] = static_cast<greg_t>(context.edx);
    g[REG_ESI] = static_cast<greg_t>(context.esi);
    g[REG_EDI] = static_cast<greg_t>(context.edi);
    g[REG_EBP] = static_cast<greg_t>(context.ebp);
    g[REG_ESP] = static_cast<greg_t>(context.esp);
    g[REG_EIP] = static_cast<greg_t>(context.eip);
    g[REG_EFL] = static_cast<greg_t>(context.eflags);
}


void onSignal(int sig, siginfo_t* info, void* raw) {
    int index = 0;
    while (index < kSignalCount && kSignals[index] != sig)
        ++index;
    auto* uc = static_cast<ucontext_t*>(raw);
    ExceptionRecord record{};
    Context context{};
    describe(sig, info, uc, record, context);
    ExceptionPointers pointers{&record, &context};
    for (std::size_t i = 0; i < g_handlerCount; ++i)
        if (g_handlers[i](&pointers) == kContinueExecution) {
            applyContext(context, uc);
            return;
        }
    platform::passSignalOn(g_previous[index], sig, info, raw);
}

void* WINHOST_API AddVectoredExceptionHandler(DWORD first, VectoredHandler handler) {
    static CallCounter calls("AddVectoredExceptionHandler");
    if (calls.failsNow() || handler == nullptr || g_handlerCount == kMaxHandlers) {
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    if (!g_installed) {
        struct sigaction action {};
        action.sa_sigaction = &onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        for (int i = 0; i < kSignalCount; ++i)
            sigaction(kSignals[i], &action, &g_previous[i]);
        g_installed = true;
    }
    if (first != 0) {
        std::memmove(g_handlers + 1, g_handlers, g_handlerCount * sizeof g_handlers[0]);
        g_handlers[0] = handler;
    } else {
        g_handlers[g_handlerCount] = handler;
    }
    ++g_handlerCount;
    return reinterpret_cast<void*>(handler);
}

const StandIn kStandIns[] = {
    {"AddVectoredExceptionHandler", reinterpret_cast<void*>(&AddVectoredExceptionHandler)},
};

} // namespace

StandInList exceptionStandIns() {
    return standIns("kernel32.dll", kStandIns);
}

} // namespace winhost
