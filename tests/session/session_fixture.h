#pragma once

// A whole session of the plug-in in the substitute host: the plug-in binary
// (the shared library, or with BW_SESSION_BINARY=dll the product DLL) is
// loaded from a scratch folder beside its settings file, entered like a
// loader enters the DLL, and its log is read back line by line. Built for
// Windows, the same sessions run in the substitute game under Wine, where
// Wine loads the product DLL (harness/wingame).
//
// A loaded plug-in keeps its process-wide state for good (as in the game), so
// every session runs as its own test process (see CMakeLists.txt).

#include "game/host_layout.h"
#include "platform/platform.h"
#include "scratch_dir.h"
#include "sim/address_space.h"
#include "sim/host.h"
#include "winhost/call_counts.h"
#include "winhost/plugin_binary.h"

#ifdef _WIN32
#include "wingame/game_process.h"
#else
#include "winhost/process.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bwsession {

inline bool onDll() {
#ifdef _WIN32
    return true;
#else
    const char* binary = std::getenv("BW_SESSION_BINARY");
    return binary != nullptr && std::strcmp(binary, "dll") == 0;
#endif
}

// The `nth` use of the system call `name` the product DLL makes from now on
// fails (0 disarms): the Windows model's stand-in, or under Wine the DLL's
// import of Wine's function.
inline void failOnUse(const char* name, std::uint32_t nth) {
#ifdef _WIN32
    ASSERT_TRUE(wingame::failOnUse(name, nth)) << name;
#else
    winhost::failOnUse(name, nth);
#endif
}

// The binary at `from` appears at `to` (a link, or a copy where Windows
// programs cannot follow one).
inline bool install(const char* from, const std::string& to) {
#ifdef _WIN32
    return CopyFileA(from, to.c_str(), TRUE) != 0;
#else
    return ::symlink(from, to.c_str()) == 0;
#endif
}

constexpr game::Address kCallSites[3] = {game::addr::ProcessCall, game::addr::RwShutdownCall,
                                         game::addr::PoolsShutdownCall};
constexpr game::Address kHookRows[4] = {game::addr::PairContact, game::addr::SingleContact,
                                        game::addr::GameShutdown, game::addr::ShutDownForRestart};

const char* const kBanner =
    "Bucklewright 0.1.4 experimental - two-sided panels sharing vertices and lighting";
const char* const kActive =
    "Active. Player first; nearby NPCs according to Traffic settings. F7 restores player "
    "geometry. Physical collision remains stock in this GTA III port.";
const char* const kLifecycleHooks =
    "Lifecycle hooks active: cleanup before CGame::Shutdown and ShutDownForRestart.";
const char* const kContactHooks =
    "Contact hooks active: GTA III pair and alternate/static paths; original physics preserved.";
const char* const kRetention =
    "Part retention active: 2 separate attempts per delayed stage; 750 ms contact gap.";
const char* const kProbe =
    "Geometry ABI: validated morphTarget offset=0x68; CPU buffer guard active.";
// The probe's line on a host whose engine keeps the pointer at 0x5C.
const char* const kProbeAt5C =
    "Geometry ABI: validated morphTarget offset=0x5C; CPU buffer guard active.";

using Lines = std::vector<std::string>;

// The lines a release with `begin` writes, `count` records.
inline Lines release(const std::string& begin, unsigned count) {
    return {begin, "Lifecycle: releasing " + std::to_string(count) + " tracked vehicles.",
            "Lifecycle: Bucklewright cleanup complete."};
}

inline Lines bracket(const std::string& begin, unsigned count, const std::string& what) {
    Lines l = release(begin, count);
    l.push_back("Lifecycle: executing original " + what + ".");
    l.push_back("Lifecycle: original " + what + " returned.");
    return l;
}

inline Lines poolsShutdown(unsigned count) {
    return bracket("Lifecycle: pools shutdown begin; fallback cleanup.", count, "pools shutdown");
}
inline Lines renderWareShutdown(unsigned count) {
    return bracket("Lifecycle: RenderWare shutdown begin; fallback cleanup.", count,
                   "RenderWare shutdown");
}

inline Lines& operator+=(Lines& a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The game's shutdown after a session: CGame::Shutdown releases `count`
// records and runs the pools shutdown inside it, which finds nothing left;
// RenderWare's shutdown follows.
inline Lines gameShutdown(unsigned count) {
    Lines l = bracket("Lifecycle: CGame::Shutdown begin; early cleanup.", count, "CGame::Shutdown");
    const Lines inner = poolsShutdown(0);
    l.insert(l.end() - 1, inner.begin(), inner.end());
    return l += renderWareShutdown(0);
}

class Session : public ::testing::Test {
  protected:
    Session() : Session(sim::MorphLayout::At68) {}
    explicit Session(sim::MorphLayout layout) : host{hostOptions(layout)} {}

    void SetUp() override {
        ASSERT_TRUE(host.ok());
#ifndef _WIN32
        winhost::setExecutableImage(sim::detail::MapEnd - sim::detail::MapBegin, "C:\\gta3.exe");
#endif
        ASSERT_TRUE(install(onDll() ? BW_DLL_PATH : BW_PLUGIN_PATH, binaryPath()));
        for (game::Address site : kCallSites)
            callBytes.push_back(codeAt(site, 5));
        for (game::Address row : kHookRows)
            rowBytes.push_back(codeAt(row, 5));
    }

    void TearDown() override {
        const sim::Accounting a = host.accounting();
        EXPECT_EQ(a.liveGeometries, baseline) << "geometry leaked or freed too often";
        EXPECT_EQ(a.badReleases, 0u);
        EXPECT_EQ(a.unsafeReleases, 0u);
        EXPECT_EQ(a.invalidCalls, 0u);
        EXPECT_TRUE(host.atomicsOnLiveGeometries());
        if (plugin != nullptr) {
            EXPECT_TRUE(plugin->detach());
        }
    }

    std::string binaryPath() const {
        return dir.file(onDll() ? "bucklewright.asi" : "bucklewright.so");
    }

    // Writes the settings file (none when `file` is false) and enters the
    // plug-in. The binary is never unloaded: its hooks and fault reporter
    // stay for the life of the process.
    void attach(const std::string& ini = "", bool file = true) {
        if (file) dir.write("bucklewright.ini", ini);
        baseline = host.accounting().liveGeometries;
        std::string error;
        plugin = winhost::loadPlugin(binaryPath(), &error);
        ASSERT_NE(plugin, nullptr) << error;
        EXPECT_TRUE(plugin->attach());
        const Lines afterAttach = log();
        EXPECT_TRUE(plugin->threadAttach()); // a thread starting: nothing happens
        EXPECT_EQ(log(), afterAttach);
    }

    Lines log() const {
        const std::string text = bwtest::readFile(dir.file("bucklewright.log"));
        Lines lines;
        std::size_t from = 0;
        for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
            lines.push_back(text.substr(from, at - from));
        EXPECT_EQ(from, text.size()) << "a line without CR LF";
        return lines;
    }

    // Expected lines ending in '*' match by prefix.
    void expectLog(const Lines& expected, bool withLights = false) const {
        Lines got;
        for (const std::string& l : log())
            if (withLights || l.rfind("RearLight:", 0) != 0) got.push_back(l);
        for (std::size_t i = 0; i < expected.size() || i < got.size(); ++i) {
            const std::string want = i < expected.size() ? expected[i] : "<end of log>";
            const std::string have = i < got.size() ? got[i] : "<end of log>";
            if (!want.empty() && want.back() == '*')
                EXPECT_EQ(have.rfind(want.substr(0, want.size() - 1), 0), 0u)
                    << "line " << i << ": " << have;
            else
                EXPECT_EQ(have, want) << "line " << i;
        }
    }

    static std::vector<std::uint8_t> codeAt(game::Address at, std::size_t n) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(at));
        return std::vector<std::uint8_t>(p, p + n);
    }

    bool callSitesUntouched() const {
        for (int i = 0; i < 3; ++i)
            if (codeAt(kCallSites[i], 5) != callBytes[i]) return false;
        return true;
    }

    // Makes the code page holding `at` a read-only shared mapping of its own
    // bytes: it still reads and runs, but its protection can no longer be
    // made writable. Under Wine the page is part of the program's image, which
    // has no such page: the DLL's VirtualProtect refuses it instead.
    static void freezePage(game::Address at) {
#ifdef _WIN32
        wingame::refuseProtection(at);
#else
        const std::uintptr_t page = at & ~std::uintptr_t(0xFFF);
        std::vector<std::uint8_t> bytes = codeAt(static_cast<game::Address>(page), 0x1000);
        const int fd = ::memfd_create("frozen-page", 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), 0x1000);
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const int ro = ::open(self.c_str(), O_RDONLY);
        ASSERT_GE(ro, 0);
        void* m = ::mmap(reinterpret_cast<void*>(page), 0x1000, PROT_READ | PROT_EXEC,
                         MAP_SHARED | MAP_FIXED, ro, 0);
        ASSERT_EQ(m, reinterpret_cast<void*>(page));
        ::close(ro);
        ::close(fd);
        ASSERT_NE(
            ::mprotect(reinterpret_cast<void*>(page), 0x1000, PROT_READ | PROT_WRITE | PROT_EXEC),
            0);
#endif
    }

    void* car(dent::Vec at = {0, 0, 0}, int model = 90) {
        sim::VehicleDesc desc;
        desc.model = model;
        desc.placement = sim::Matrix::identity(at);
        void* v = host.addVehicle(desc);
        sources[v] = geometries(v);
        return v;
    }

    std::vector<void*> geometries(void* vehicle) {
        std::vector<void*> out;
        for (void* atomic : host.atomicsOf(game::renderObject(vehicle)))
            out.push_back(game::atomicGeometry(atomic));
        return out;
    }

    static sim::ColPoint colPoint(dent::Vec p, dent::Vec n) {
        sim::ColPoint c{};
        c.point = p;
        c.normal = n;
        c.pieceA = 5;
        c.pieceB = 7;
        return c;
    }

    // One frame in which `a` and `b` collide at `p` (normal facing `a`).
    void crash(void* a, void* b, dent::Vec p, dent::Vec n, float impulseA, float impulseB) {
        host.duringNextProcess([=] { host.collidePair(a, b, colPoint(p, n), impulseA, impulseB); });
        host.step();
    }

    // The player's car and a van (model 95) 4 m ahead of it, one frame on,
    // then one frame in which the player's nose strikes the van.
    std::pair<void*, void*> playerStrikesVanAhead() {
        void* player = car();
        void* van = car({0, 4, 0}, 95);
        host.setPlayerVehicle(player);
        host.step();
        crash(player, van, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
        return {player, van};
    }

    // True when any atomic of the vehicle draws something else than the
    // geometry it had when the car was built.
    bool drawsCopies(void* vehicle) {
        const std::vector<void*> now = geometries(vehicle);
        return now != sources[vehicle];
    }

    // Room for more cars than the contact queue holds.
    static sim::HostOptions hostOptions(sim::MorphLayout layout) {
        sim::HostOptions options;
        options.poolSlots = 300;
        options.morphLayout = layout;
        return options;
    }

    sim::Host host;
    bwtest::ScratchDir dir;
    std::unique_ptr<winhost::PluginBinary> plugin;
    std::vector<std::vector<std::uint8_t>> callBytes, rowBytes;
    std::uint32_t baseline = 0;
    std::map<void*, std::vector<void*>> sources;
};

} // namespace bwsession
