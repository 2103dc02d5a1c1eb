// Sessions only the product DLL can run: what it asks of Windows beyond the
// shared library's reach (threads held and moved while hooks are written,
// faults reported from the real signal, the exported host table, Win32
// calls failing), and the loader's own refusals.

#include "session_fixture.h"

#include "game/host_functions.h"
#include "winhost/call_counts.h"
#include "winhost/game_threads.h"
#include "winhost/handles.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstdio>
#include <fstream>
#include <regex>

namespace {

using namespace bwsession;

class DllSession : public Session {
  protected:
    void SetUp() override {
        ASSERT_TRUE(onDll()) << "run with BW_SESSION_BINARY=dll";
        Session::SetUp();
    }

    template <class T> T& exported(const char* name) {
        void* at = plugin->exportNamed(name);
        EXPECT_NE(at, nullptr) << name;
        return *static_cast<T*>(at);
    }

};

// ---- the exported host table ----------------------------------------------------------

TEST_F(DllSession, ExportedHostTableHoldsTheHostsAddresses) {
    attach();
    const std::pair<const char*, game::Address> table[] = {
        {"_ZN4game7atomicsE", game::addr::Atomics},
        {"_ZN4game12vehicleByRefE", game::addr::VehicleByRef},
        {"_ZN4game10vehicleRefE", game::addr::VehicleRef},
        {"_ZN4game13playerVehicleE", game::addr::PlayerVehicle},
        {"_ZN4game9playerPedE", game::addr::PlayerPed},
        {"_ZN4game14createGeometryE", game::addr::CreateGeometry},
        {"_ZN4game15destroyGeometryE", game::addr::DestroyGeometry},
        {"_ZN4game11setGeometryE", game::addr::SetGeometry},
        {"_ZN4game4lockE", game::addr::Lock},
        {"_ZN4game6unlockE", game::addr::Unlock},
        {"_ZN4game16triangleVerticesE", game::addr::TriangleVertices},
        {"_ZN4game16triangleMaterialE", game::addr::TriangleMaterial},
        {"_ZN4game12geometrySkinE", game::addr::GeometrySkin},
        {"_ZN4game8frameLTME", game::addr::FrameLTM},
        {"_ZN4game9frameNameE", game::addr::FrameName},
        {"_ZN4game11atomicFlagsE", game::addr::AtomicFlags},
        {"_ZN4game13getDoorStatusE", game::addr::GetDoorStatus},
        {"_ZN4game13setDoorStatusE", game::addr::SetDoorStatus},
        {"_ZN4game14getLightStatusE", game::addr::GetLightStatus},
        {"RwEngineInstance", game::addr::EngineInstance},
    };
    for (const auto& [name, address] : table)
        EXPECT_EQ(exported<std::uint32_t>(name), address) << name;
    EXPECT_EQ(exported<std::uint32_t>("_ZN4game11morphOffsetE"), 0u)
        << "no probe before the first frame";
    host.step();
    EXPECT_EQ(exported<std::uint32_t>("_ZN4game11morphOffsetE"), 0x68u);
    host.endSession();
}

// ---- threads held and moved while hooks are written ------------------------------

winhost::Context stoppedAt(std::uint32_t eip) {
    winhost::Context c{};
    c.eip = eip;
    c.esp = 0x12FF00;
    c.ebp = 0x12FF20;
    c.eax = 0xA5A5A5A5;
    return c;
}

TEST_F(DllSession, ThreadInsideHookedBytesMovesToTheTrampoline) {
    attach();
    // Stopped on "push ebx", the fourth byte of the five the hook overwrites.
    const winhost::DWORD id = winhost::addGameThread(stoppedAt(game::addr::PairContact + 3));
    host.step();
    winhost::Context after = winhost::gameThreadContext(id);
    ASSERT_NE(after.eip, game::addr::PairContact + 3) << "not moved";
    // The same instruction in the trampoline's copy of the prologue, whose
    // jump leads back behind the overwritten bytes.
    const auto* moved =
        reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(after.eip));
    EXPECT_EQ(std::vector<std::uint8_t>(moved - 3, moved + 2),
              (std::vector<std::uint8_t>{0x55, 0x89, 0xE5, 0x53, 0x5B}));
    ASSERT_EQ(moved[2], 0xE9);
    std::int32_t back;
    std::memcpy(&back, moved + 3, 4);
    EXPECT_EQ(after.eip + 2 + 5 + static_cast<std::uint32_t>(back), game::addr::PairContact + 5);
    EXPECT_EQ(after.esp, 0x12FF00u) << "only the instruction pointer changes";
    EXPECT_EQ(after.eax, 0xA5A5A5A5u);
    EXPECT_EQ(winhost::suspendCount(id), 0u) << "suspend and resume balance";
    EXPECT_EQ(winhost::openHandles(winhost::HandleKind::Thread), 0u)
        << "every thread handle closed";
    EXPECT_EQ(winhost::openHandles(winhost::HandleKind::Snapshot), 0u);
    winhost::removeGameThreads();
    host.endSession();
}

TEST_F(DllSession, ThreadInsideATrampolineMovesBackWhenTheHooksComeOff) {
    attach();
    const winhost::DWORD id = winhost::addGameThread(stoppedAt(game::addr::PairContact + 3));
    // CGame::Shutdown cannot be enabled: the two contact hooks enabled before
    // it are disabled again, and the thread moved into the first trampoline
    // goes back where it was.
    freezePage(game::addr::GameShutdown);
    const std::uint32_t moves = winhost::uses("SetThreadContext");
    host.step();
    EXPECT_EQ(winhost::gameThreadContext(id).eip, game::addr::PairContact + 3);
    EXPECT_EQ(winhost::uses("SetThreadContext") - moves, 2u) << "moved in, then back";
    EXPECT_EQ(winhost::suspendCount(id), 0u);
    winhost::removeGameThreads();
    host.endSession();
}

// A thread that cannot be moved out of the bytes a hook would overwrite keeps
// that hook off (and the set of four with it); a resume the system refused
// once is asked again.
TEST_F(DllSession, AThreadThatCannotBeMovedKeepsTheHooksOffAndNoThreadStaysHeld) {
    attach();
    const winhost::DWORD id = winhost::addGameThread(stoppedAt(game::addr::PairContact + 3));
    winhost::failOnUse("SetThreadContext", 1, 2); // the move and its second try
    winhost::failOnUse("ResumeThread", 1);
    host.step();
    EXPECT_EQ(winhost::gameThreadContext(id).eip, game::addr::PairContact + 3);
    EXPECT_EQ(winhost::suspendCount(id), 0u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(codeAt(kHookRows[i], 5), rowBytes[i]) << i;
    const Lines lines = log();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Contact hook activation failed; deformation disabled."),
              lines.end());
    winhost::removeGameThreads();
    host.endSession();
}

// ---- Win32 calls failing ---------------------------------------------------------------

TEST_F(DllSession, VirtualProtectFailingAtTheSecondCallSiteStopsStartUp) {
    // Each patch changes the protection and puts it back: the third use is
    // the second site's (the pools shutdown call).
    winhost::failOnUse("VirtualProtect", 3);
    attach();
    winhost::failOnUse("VirtualProtect", 0);
    expectLog({kBanner, "Could not install process hook; no deformation enabled."});
    EXPECT_NE(codeAt(game::addr::RwShutdownCall, 5), callBytes[1]) << "the first patch stays";
    EXPECT_EQ(codeAt(game::addr::PoolsShutdownCall, 5), callBytes[2]);
    EXPECT_EQ(codeAt(game::addr::ProcessCall, 5), callBytes[0]);
    host.step();
    host.endSession();
    Lines want{kBanner, "Could not install process hook; no deformation enabled."};
    want += renderWareShutdown(0);
    expectLog(want);
}

const char* const kOneLost = "Log: 1 earlier line could not be written.";

TEST_F(DllSession, PhaseLineIsDroppedWhenCreateFileFails) {
    attach();
    host.step();
    winhost::failOnUse("CreateFileA", 1);
    host.endSession();
    Lines want{kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention, kProbe};
    want += gameShutdown(0);
    want[6] = kOneLost; // for "Lifecycle: CGame::Shutdown begin; early cleanup."
    expectLog(want);
}

// A line goes out in one write: a failed write loses that whole line, and
// leaves neither a blank line nor two lines run together; the next line that
// gets through says where the gap is.
TEST_F(DllSession, AFailedWriteLosesTheWholeLineAndTheNextSaysSo) {
    winhost::failOnUse("fwrite", 2); // the message line after the banner
    attach();
    host.step();
    winhost::failOnUse("WriteFile", 1); // the first flushed lifecycle line
    host.endSession();
    Lines want{kBanner, kOneLost, kLifecycleHooks, kContactHooks, kRetention, kProbe};
    want += gameShutdown(0);
    want[6] = kOneLost; // for "Lifecycle: CGame::Shutdown begin; early cleanup."
    expectLog(want);
    // A close that fails loses what msvcrt held for it: the same gap.
    winhost::failOnUse("fclose", 1);
    host.endSession();
    Lines again = gameShutdown(0);
    again[1] = kOneLost; // for "Lifecycle: releasing 0 tracked vehicles."
    want += again;
    expectLog(want);
}

// ---- faults: the report from the real signal, then the fault goes on -----------------

// A frame matrix the plug-in reads without a guard (the host hands it out),
// made to point into a page that cannot be read on the `nth` call.
game::FrameLTMFn g_frameLTM = nullptr;
int g_ltmCalls = 0, g_badLtmCall = 0;
void* g_noAccess = nullptr;
void* BW_CDECL unreadableMatrix(void* frame) {
    return ++g_ltmCalls == g_badLtmCall ? g_noAccess : g_frameLTM(frame);
}

class DllFault : public DllSession {
  protected:
    // Mapped before the session's child starts, so both know its address.
    void SetUp() override {
        DllSession::SetUp();
        g_noAccess = ::mmap(nullptr, 0x1000, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(g_noAccess, MAP_FAILED);
    }

    void breakFrameMatrix(int nth) {
        auto& slot = exported<game::FrameLTMFn>("_ZN4game8frameLTME");
        g_frameLTM = slot;
        g_badLtmCall = nth;
        slot = &unreadableMatrix;
    }

    // The report's two lines, as `pattern` expects them.
    void expectReport(const std::string& pattern) {
        std::string text;
        for (const std::string& l : log())
            text += l + "\n";
        EXPECT_TRUE(std::regex_search(text, std::regex(pattern))) << text;
    }

    // The player's report, read back with the symbols the build kept: the
    // first frame named is `function`, and the symbols are proven the DLL's.
    void expectSymbolizedTo(const std::string& function) {
        const std::string command = "bash " BW_SYMBOLIZE " '" + dir.file("bucklewright.log") + "' '" +
                                    BW_DLL_PATH + "' 2>&1";
        std::FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buffer[512];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        const int status = ::pclose(pipe);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find("the symbols belong to it"), std::string::npos) << out;
        const std::size_t at = out.find("EXCEPTION 1:");
        ASSERT_NE(at, std::string::npos) << out;
        EXPECT_NE(out.find(function, at), std::string::npos) << out;
    }

    static std::string hex(const void* p) {
        char s[16];
        std::snprintf(s, sizeof s, "%08lX",
                      static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p)));
        return s;
    }
};

const char* const kRegisters = "REGISTERS EAX=[0-9A-F]{8} EBX=[0-9A-F]{8} ECX=[0-9A-F]{8} "
                               "EDX=[0-9A-F]{8} ESI=[0-9A-F]{8} EDI=[0-9A-F]{8} "
                               "EBP=[0-9A-F]{8}\n";

TEST_F(DllFault, AccessViolationInsideTheFrameDetour) {
    EXPECT_EXIT(
        {
            attach("[General]\nLogHits=0\n");
            breakFrameMatrix(1); // hit processing's read of the car's frame matrix
            playerStrikesVanAhead();
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    expectReport("\nEXCEPTION code=C0000005 address=[0-9a-f]{8} module=C:\\\\bucklewright\\.asi "
                 "offset=[0-9A-F]{8} "
                 "phase=Bucklewright update access=0 target=" +
                 hex(g_noAccess) + " ESP=[0-9A-F]{8}\n" + kRegisters + "$");
    expectSymbolizedTo("hit at src/orchestration/hit_processing.cpp:");
}

TEST_F(DllFault, AccessViolationInMeshWork) {
    EXPECT_EXIT(
        {
            attach("[General]\nLogHits=0\n");
            breakFrameMatrix(2); // the first atomic's frame matrix
            playerStrikesVanAhead();
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    expectReport("\nEXCEPTION code=C0000005 address=[0-9a-f]{8} module=C:\\\\bucklewright\\.asi "
                 "offset=[0-9A-F]{8} "
                 "phase=atomic: get frame matrix access=0 target=" +
                 hex(g_noAccess) + " ESP=[0-9A-F]{8}\n" + kRegisters + "$");
    expectSymbolizedTo("localDent at src/mesh/deform_atomic.cpp:");
}

TEST_F(DllFault, FaultOutsideAnyModuleHasNoModule) {
    EXPECT_EXIT(
        {
            attach();
            host.step();
            host.duringNextProcess([] { *static_cast<volatile int*>(nullptr) = 1; });
            host.step();
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    expectReport("\nEXCEPTION code=C0000005 address=[0-9a-f]{8} module= offset=[0-9A-F]{8} "
                 "phase=game process "
                 "access=1 target=00000000 ESP=[0-9A-F]{8}\n" +
                 std::string(kRegisters) + "$");
}

TEST_F(DllFault, BreakpointWritesNoLine) {
    EXPECT_EXIT(
        {
            attach();
            host.step();
            host.duringNextProcess([] { asm volatile("int3"); });
            host.step();
        },
        ::testing::KilledBySignal(SIGTRAP), "");
    expectLog({kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention, kProbe});
}

// ---- faults the game survives: reported once each, and only the first few --------

// The game's own handler (its exception frames, a driver's, IsBadReadPtr's),
// which runs after the vectored ones and resumes past the fault.
sigjmp_buf g_resume;
void resumeAfterFault(int, siginfo_t*, void*) {
    siglongjmp(g_resume, 1);
}

// Reads address 0 from `code`; true when the fault was caught and survived.
bool faultAndSurvive(void (*code)()) {
    if (sigsetjmp(g_resume, 1) != 0) return true;
    code();
    return false;
}

TEST_F(DllFault, FaultsTheGameCatchesAreReportedOnceEachAndBounded) {
    struct sigaction own {
    }, before{};
    own.sa_sigaction = &resumeAfterFault;
    own.sa_flags = SA_SIGINFO;
    sigemptyset(&own.sa_mask);
    ASSERT_EQ(::sigaction(SIGSEGV, &own, &before), 0);
    attach();
    // Twelve faulting instructions at twelve addresses: "mov eax, [0]; ret".
    auto* code = static_cast<std::uint8_t*>(::mmap(
        nullptr, 0x1000, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(code, MAP_FAILED);
    const auto at = [code](int i) { return reinterpret_cast<void (*)()>(code + 16 * i); };
    for (int i = 0; i < 12; ++i) {
        const std::uint8_t stub[] = {0xA1, 0, 0, 0, 0, 0xC3};
        std::memcpy(code + 16 * i, stub, sizeof stub);
    }

    const std::uint32_t opens = winhost::uses("CreateFileA");
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(faultAndSurvive(at(0)));
    EXPECT_EQ(winhost::uses("CreateFileA") - opens, 1u)
        << "one flushed write, and none for the repeats";
    for (int i = 1; i < 12; ++i)
        ASSERT_TRUE(faultAndSurvive(at(i)));
    ASSERT_EQ(::sigaction(SIGSEGV, &before, nullptr), 0);

    const Lines lines = log();
    ASSERT_EQ(lines.size(), 2u + 8 * 2 + 1)
        << "banner, Active, 8 reports of two lines, one closing line";
    for (int i = 0; i < 8; ++i) {
        char address[16];
        std::snprintf(address, sizeof address, "%08lx",
                      static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(at(i))));
        EXPECT_EQ(lines[2 + 2 * i].rfind(
                      std::string("EXCEPTION code=C0000005 address=") + address + " module= ", 0),
                  0u)
            << lines[2 + 2 * i];
        EXPECT_EQ(lines[3 + 2 * i].rfind("REGISTERS EAX=", 0), 0u);
    }
    EXPECT_EQ(lines.back(), "Exception reports: 8 faults reported; further ones are not reported.");
    ::munmap(code, 0x1000);
    host.step();
    host.endSession();
}

// ---- the loader's refusals -------------------------------------------------------------

TEST(DllLoader, AnImportWithoutAStandInFailsTheLoadByName) {
    bwtest::ScratchDir dir;
    std::string bytes = bwtest::readFile(BW_DLL_PATH);
    const std::size_t at = bytes.find(std::string("GetTickCount\0", 13));
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 12, "GetTickCounX");
    dir.write("other.asi", bytes);
    std::string error;
    EXPECT_EQ(winhost::loadPlugin(dir.file("other.asi"), &error), nullptr);
    EXPECT_EQ(error, "bind imports: KERNEL32.dll!GetTickCounX");
}

TEST_F(DllSession, RelocatedWhenItsBaseIsTaken) {
    void* taken = ::mmap(reinterpret_cast<void*>(0x6C640000), 0x1000, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_EQ(taken, reinterpret_cast<void*>(0x6C640000));
    attach();
    EXPECT_NE(plugin->exportNamed("RwEngineInstance"), nullptr);
    host.step();
    expectLog({kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention, kProbe});
    host.endSession();
}

} // namespace
