// Sessions only Windows itself can show, in the substitute game under Wine:
// real threads inside the bytes the hooks overwrite while the hooks come on
// and off, and real faults reported by the DLL's vectored handler, before
// the game goes down with them or while it catches them and runs on.

#include "session_fixture.h"

#include "game/host_functions.h"

#include <atomic>
#include <cstdio>
#include <regex>

namespace {

using namespace bwsession;

// ---- threads in the hooked bytes ---------------------------------------------------------

// The two-body collision response made to return at once after a slow
// prologue, so that a thread calling it is nearly always inside the five
// bytes the hook overwrites: push ebx; cpuid; cpuid | pop ebx; xor eax, eax;
// ret 16.
const std::vector<std::uint8_t> kQuickResponse = {0x53, 0x0F, 0xA2, 0x0F, 0xA2, 0x5B,
                                                  0x31, 0xC0, 0xC2, 0x10, 0x00};

// A game thread that calls the response over and over.
struct Spinner {
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> calls{0};
    HANDLE thread = nullptr;
};

DWORD WINAPI spin(void* context) {
    auto* s = static_cast<Spinner*>(context);
    const auto response =
        reinterpret_cast<game::PairContactFn>(static_cast<std::uintptr_t>(game::addr::PairContact));
    while (!s->stop.load(std::memory_order_relaxed)) {
        response(nullptr, nullptr, nullptr, nullptr, nullptr);
        s->calls.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

class WineThreads : public Session {
  protected:
    void SetUp() override {
        Session::SetUp();
        host.patchCode(game::addr::PairContact, kQuickResponse.data(), kQuickResponse.size());
    }
    void TearDown() override {
        stopSpinners();
        Session::TearDown();
    }

    void startSpinners() {
        for (Spinner& s : spinners) {
            s.thread = CreateThread(nullptr, 0, &spin, &s, 0, nullptr);
            ASSERT_NE(s.thread, nullptr);
        }
        waitForCalls();
    }

    // Every spinner has made calls since the last look.
    void waitForCalls() {
        for (Spinner& s : spinners) {
            const unsigned long before = s.calls.load();
            for (int i = 0; i < 200 && s.calls.load() == before; ++i)
                Sleep(5);
            EXPECT_GT(s.calls.load(), before) << "a game thread stopped running";
        }
    }

    void stopSpinners() {
        for (Spinner& s : spinners) {
            if (s.thread == nullptr) continue;
            s.stop = true;
            EXPECT_EQ(WaitForSingleObject(s.thread, 5000), WAIT_OBJECT_0);
            CloseHandle(s.thread);
            s.thread = nullptr;
        }
    }

    // Each is inside the hooked bytes about four times in five when the hook
    // engine holds it: with three, one at least nearly always is.
    Spinner spinners[3];
};

TEST_F(WineThreads, KeepRunningThroughTheHookedBytesWhileTheHooksComeOn) {
    ASSERT_TRUE(wingame::countUses("SetThreadContext")); // the engine's moves, from the load on
    attach();
    startSpinners();
    for (int frame = 0; frame < 3; ++frame)
        host.step();
    EXPECT_EQ(codeAt(game::addr::PairContact, 1)[0], 0xE9) << "hooked";
    waitForCalls();
    std::printf("game threads moved into the trampoline: %u\n", wingame::uses("SetThreadContext"));
    stopSpinners();
    host.endSession();
    Lines want{kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention, kProbe};
    want += gameShutdown(0);
    expectLog(want);
}

TEST_F(WineThreads, KeepRunningWhileTheHooksComeOnAndOffAgain) {
    ASSERT_TRUE(wingame::countUses("SetThreadContext")); // the engine's moves, from the load on
    attach();
    // CGame::Shutdown's protection cannot change: its hook fails after the
    // two contact hooks were enabled, and all of them come off again.
    freezePage(game::addr::GameShutdown);
    startSpinners();
    host.step();
    EXPECT_EQ(codeAt(game::addr::PairContact, kQuickResponse.size()), kQuickResponse)
        << "the response's own bytes are back";
    waitForCalls();
    std::printf("game threads moved in and back: %u\n", wingame::uses("SetThreadContext"));
    stopSpinners();
    host.endSession();
    Lines want{kBanner, kActive, "Contact hook activation failed; deformation disabled.",
               kRetention, kProbe};
    want += poolsShutdown(0);
    want += renderWareShutdown(0);
    expectLog(want);
}

// ---- real faults ----------------------------------------------------------------------

// A page of the game's range that nothing uses, made unreadable: a frame
// matrix the host hands out points there.
constexpr std::uintptr_t kUnreadable = 0x700000;

game::FrameLTMFn g_frameLTM = nullptr;
int g_ltmCalls = 0, g_badLtmCall = 0;
void* BW_CDECL unreadableMatrix(void* frame) {
    return ++g_ltmCalls == g_badLtmCall ? reinterpret_cast<void*>(kUnreadable) : g_frameLTM(frame);
}

// Access faults the game catches and survives: "mov eax, [0]; ret" at twelve
// addresses of one page, and the game's own handler, which runs after the
// plug-in's and resumes past the faulting load.
constexpr int kStubs = 12, kStubSpacing = 16;
constexpr std::uint8_t kReadNull[] = {0xA1, 0, 0, 0, 0, 0xC3};
std::uintptr_t g_stubPage = 0;
unsigned g_caught = 0;

LONG WINAPI resumePastTheLoad(EXCEPTION_POINTERS* pointers) {
    const auto at = reinterpret_cast<std::uintptr_t>(pointers->ExceptionRecord->ExceptionAddress);
    if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
        at - g_stubPage >= 0x1000)
        return EXCEPTION_CONTINUE_SEARCH;
    ++g_caught;
    pointers->ContextRecord->Eip += 5;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Exit codes of the session that survives its faults (90: no set-up).
constexpr int kNotCaught = 91, kRepeatsWrote = 92;

// One address faults 1000 times, then eleven more once each, all in the game's
// process step; then the game shuts down.
int caughtFaults(sim::Host& host) {
    auto* page = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (page == nullptr || !wingame::countUses("CreateFileA")) return 90;
    g_stubPage = reinterpret_cast<std::uintptr_t>(page);
    for (int i = 0; i < kStubs; ++i)
        std::memcpy(page + kStubSpacing * i, kReadNull, sizeof kReadNull);
    const auto stub = [page](int i) {
        return reinterpret_cast<void (*)()>(page + kStubSpacing * i);
    };
    void* const handler = AddVectoredExceptionHandler(0, &resumePastTheLoad);
    std::uint32_t repeatOpens = 0;
    host.step();
    host.duringNextProcess([&] {
        stub(0)();
        const std::uint32_t opens = wingame::uses("CreateFileA");
        for (int i = 1; i < 1000; ++i)
            stub(0)();
        repeatOpens = wingame::uses("CreateFileA") - opens;
        for (int i = 1; i < kStubs; ++i)
            stub(i)();
    });
    host.step();
    RemoveVectoredExceptionHandler(handler);
    host.endSession();
    if (g_caught != 1000 + kStubs - 1) return kNotCaught;
    return repeatOpens == 0 ? 0 : kRepeatsWrote;
}

// The session that faults, in a process of its own (it ends with the fault,
// as the game would, unless the game catches it): the DLL in `folder` is
// loaded, then the fault `kind`.
int faultingSession(const std::string& kind, const std::string& folder) {
    sim::Host host;
    std::string error;
    std::unique_ptr<winhost::PluginBinary> plugin =
        winhost::loadPlugin(folder + "\\bucklewright.asi", &error);
    if (!host.ok() || plugin == nullptr || !plugin->attach()) return 90;
    DWORD old = 0;
    VirtualProtect(reinterpret_cast<void*>(kUnreadable), 0x1000, PAGE_NOACCESS, &old);
    if (kind == "detour" || kind == "mesh") {
        auto& slot = *static_cast<game::FrameLTMFn*>(plugin->exportNamed("_ZN4game8frameLTME"));
        g_frameLTM = slot;
        // The first: hit processing's read of the car's matrix; the second:
        // the first atomic's, in the mesh work.
        g_badLtmCall = kind == "detour" ? 1 : 2;
        slot = &unreadableMatrix;
        sim::VehicleDesc desc;
        void* player = host.addVehicle(desc);
        desc.model = 95;
        desc.placement = sim::Matrix::identity({0, 4, 0});
        void* other = host.addVehicle(desc);
        host.setPlayerVehicle(player);
        host.step();
        sim::ColPoint c{};
        c.point = {0, 2, 0.5f};
        c.normal = {0, -1, 0};
        host.duringNextProcess([&] { host.collidePair(player, other, c, 900, 900); });
        host.step();
    } else if (kind == "outside") {
        // A write through null from code that no module holds.
        static const std::uint8_t kWriteNull[] = {0x31, 0xC0, 0x89, 0x00, 0xC3};
        void* code =
            VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
        std::memcpy(code, kWriteNull, sizeof kWriteNull);
        host.step();
        host.duringNextProcess([code] { reinterpret_cast<void (*)()>(code)(); });
        host.step();
    } else if (kind == "caught") {
        return caughtFaults(host);
    } else if (kind == "breakpoint") {
        host.step();
        host.duringNextProcess([] { asm volatile("int3"); });
        host.step();
    }
    return 0; // the fault did not end the game
}

std::string ownPath() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n < sizeof path ? n : 0);
}

class WineFault : public ::testing::Test {
  protected:
    // Runs the faulting session `kind` in a child process beside the DLL and
    // returns its exit code.
    DWORD playUntilTheFault(const char* kind) {
        EXPECT_TRUE(install(BW_DLL_PATH, dir.file("bucklewright.asi")));
        dir.write("bucklewright.ini", "[General]\nLogHits=0\n");
        std::string folder = dir.file("");
        folder.pop_back(); // its trailing separator
        std::string command =
            "\"" + ownPath() + "\" --fault=" + kind + " \"--folder=" + folder + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child{};
        if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &child)) {
            ADD_FAILURE() << "cannot start " << command;
            return 0;
        }
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
        keepLog();
        return code;
    }

    // The log for scripts/symbolize.sh, where the test run asks for it.
    void keepLog() {
        const char* keep = std::getenv("BW_KEEP_FAULT_LOGS");
        if (keep == nullptr || *keep == '\0') return;
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        CopyFileA(dir.file("bucklewright.log").c_str(),
                  (std::string(keep) + "\\" + name + ".log").c_str(), FALSE);
    }

    std::string logText() const { return bwtest::readFile(dir.file("bucklewright.log")); }

    void expectReport(const std::string& pattern) const {
        std::string text = logText();
        for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;)
            text.replace(at, 2, "\n");
        EXPECT_TRUE(std::regex_search(text, std::regex(pattern))) << text;
    }

    bwtest::ScratchDir dir;
};

const std::string kModule = "module=[A-Za-z]:\\\\[^ ]*\\\\bucklewright\\.asi ";
const std::string kRegisters = "REGISTERS EAX=[0-9A-F]{8} EBX=[0-9A-F]{8} ECX=[0-9A-F]{8} "
                               "EDX=[0-9A-F]{8} ESI=[0-9A-F]{8} EDI=[0-9A-F]{8} "
                               "EBP=[0-9A-F]{8}\n";

TEST_F(WineFault, AccessViolationInsideTheFrameDetour) {
    EXPECT_EQ(playUntilTheFault("detour"), EXCEPTION_ACCESS_VIOLATION) << "the game goes down";
    expectReport("\nEXCEPTION code=C0000005 address=[0-9a-f]{8} " + kModule +
                 "offset=[0-9A-F]{8} phase=Bucklewright update access=0 target=00700000 "
                 "ESP=[0-9A-F]{8}\n" +
                 kRegisters);
}

TEST_F(WineFault, AccessViolationInMeshWork) {
    EXPECT_EQ(playUntilTheFault("mesh"), EXCEPTION_ACCESS_VIOLATION);
    expectReport("\nEXCEPTION code=C0000005 address=[0-9a-f]{8} " + kModule +
                 "offset=[0-9A-F]{8} phase=atomic: get frame matrix access=0 target=00700000 "
                 "ESP=[0-9A-F]{8}\n" +
                 kRegisters);
}

TEST_F(WineFault, FaultOutsideAnyModuleHasNoModule) {
    EXPECT_EQ(playUntilTheFault("outside"), EXCEPTION_ACCESS_VIOLATION);
    expectReport("\nEXCEPTION code=C0000005 address=[0-9a-f]{8} module= offset=[0-9A-F]{8} "
                 "phase=game process access=1 target=00000000 ESP=[0-9A-F]{8}\n" +
                 kRegisters);
}

TEST_F(WineFault, FaultsTheGameCatchesAreReportedOnceEachAndBounded) {
    EXPECT_EQ(playUntilTheFault("caught"), 0u)
        << kNotCaught << ": a fault did not reach the game's handler; " << kRepeatsWrote
        << ": the repeats opened the log";
    Lines lines;
    const std::string text = logText();
    for (std::size_t from = 0, at; (at = text.find("\r\n", from)) != std::string::npos;
         from = at + 2)
        lines.push_back(text.substr(from, at - from));
    Lines want{kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention, kProbe};
    // The first eight stubs, each once, in order; then the one closing line.
    unsigned long first = 0;
    if (lines.size() > want.size())
        std::sscanf(lines[want.size()].c_str(), "EXCEPTION code=C0000005 address=%lx", &first);
    for (int i = 0; i < 8; ++i) {
        char report[64];
        std::snprintf(report, sizeof report, "EXCEPTION code=C0000005 address=%08lx module= *",
                      first + kStubSpacing * i);
        want.push_back(report);
        want.push_back("REGISTERS EAX=*");
    }
    want.push_back("Exception reports: 8 faults reported; further ones are not reported.");
    want += gameShutdown(0);
    ASSERT_EQ(lines.size(), want.size()) << text;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (want[i].back() == '*')
            EXPECT_EQ(lines[i].rfind(want[i].substr(0, want[i].size() - 1), 0), 0u) << lines[i];
        else
            EXPECT_EQ(lines[i], want[i]);
    }
}

TEST_F(WineFault, BreakpointWritesNoLine) {
    EXPECT_EQ(playUntilTheFault("breakpoint"), static_cast<DWORD>(EXCEPTION_BREAKPOINT));
    EXPECT_EQ(logText().find("EXCEPTION"), std::string::npos) << logText();
}

} // namespace

int main(int argc, char** argv) {
    std::string kind, folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--fault=", 0) == 0) kind = arg.substr(8);
        if (arg.rfind("--folder=", 0) == 0) folder = arg.substr(9);
    }
    if (!kind.empty()) return faultingSession(kind, folder);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
