#include "harness_internal.h"

#include "dll_plugin.h"

#include "game/host_layout.h"
#include "game/registry.h"
#include "orchestration/hook_installation.h"
#include "orchestration/startup.h"
#include "platform/platform.h"
#include "plugin/log.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace soak {

namespace {

std::string g_context;

const char* const kLinePrefixes[] = {
    "Bucklewright 0.1.4 experimental - two-sided panels sharing vertices and lighting",
    "Active. Player first; nearby NPCs according to Traffic settings.",
    "Contact hook",
    "Contact hooks",
    "Contact queue full",
    "Could not create vehicle registry",
    "Could not install process hook",
    "Could not pin module",
    "Deformation failed during",
    "Disabled in INI.",
    "Exception reports:",
    "Frame update failed during",
    "Geometry ABI:",
    "Geometry clone failed",
    "Geometry traversal returned no atomics",
    "GeometryGuard:",
    "Hit dropped:",
    "Hit processing failed during",
    "Hit: actor=",
    "Hook sites changed",
    "Lifecycle hooks active:",
    "Lifecycle: ",
    "Log: ",
    "MaterialGuard:",
    "Panel crease unsupported",
    "PanelBounds:",
    "PanelMesh:",
    "PanelFold:",
    "Part retention active:",
    "Part retention skipped:",
    "Part retention:",
    "PartRetention: component=",
    "Player deformation reset.",
    "Rear lights skipped:",
    "RearLight: actor=",
    "Restore skipped:",
    "Traffic selection could not grow",
    "Unsupported executable"};

} // namespace

// ---- scopes -------------------------------------------------------------------------------

bool g_inPlugin = false;

PluginScope::PluginScope() : saved(g_inPlugin), savedSpend(spendOn(Spend::Plugin)) {
    g_inPlugin = true;
}
PluginScope::~PluginScope() {
    g_inPlugin = saved;
    spendOn(savedSpend);
}
HostScope::HostScope() : saved(g_inPlugin), savedSpend(spendOn(Spend::Host)) {
    g_inPlugin = false;
}
HostScope::~HostScope() {
    g_inPlugin = saved;
    spendOn(savedSpend);
}

void setContext(const std::string& context) {
    g_context = context;
}

void violation(Figures& f, const std::string& text) {
    ++f.violations;
    if (f.violations <= 20) std::printf("VIOLATION [%s]: %s\n", g_context.c_str(), text.c_str());
}

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    return (end != nullptr && *end == '\0') ? v : fallback;
}

// One session in this process: `body` plays it into `f`, which then holds
// what the plug-in kept and which host calls it made.
static void playSession(void (*body)(void*, Figures&), void* context, Figures& f) {
    resetSpend();
    setPhaseSource(&plugin::currentPhase);
    try {
        body(context, f);
        f.completed = 1;
    } catch (...) {
        ++f.exceptions;
        violation(f, "an exception reached the driver");
    }
    f.pluginAllocations = pluginAllocations();
    f.faultsInjected += g_injected;
    for (int c = 0; c < kHostCalls; ++c)
        f.uses[c] = g_uses[c];
    std::fflush(stdout);
}

#ifdef _WIN32
// Windows has no fork: a program runs one session, in its own process (the
// tests start one per configuration), and a second one is refused.
Figures runChildImpl(const char* what, void (*body)(void*, Figures&), void* context) {
    static bool ran = false;
    Figures f;
    if (ran) {
        violation(f, std::string("a second session in one process: ") + what);
        return f;
    }
    ran = true;
    playSession(body, context, f);
    return f;
}
#else
Figures runChildImpl(const char* what, void (*body)(void*, Figures&), void* context) {
    std::fflush(stdout);
    int fds[2];
    Figures result;
    if (::pipe(fds) != 0) {
        std::printf("VIOLATION [%s]: no pipe\n", what);
        result.violations = 1;
        return result;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        Figures f;
        playSession(body, context, f);
        const ssize_t n = ::write(fds[1], &f, sizeof f);
        ::_exit(n == static_cast<ssize_t>(sizeof f) ? 0 : 3);
    }
    ::close(fds[1]);
    std::size_t got = 0;
    while (got < sizeof result) {
        const ssize_t n =
            ::read(fds[0], reinterpret_cast<char*>(&result) + got, sizeof result - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (got != sizeof result || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        result.completed != 1) {
        std::printf("VIOLATION [%s]: the session did not complete (status 0x%x)\n", what, status);
        if (got != sizeof result) result = Figures{};
        ++result.violations;
    }
    return result;
}
#endif

// ---- the session ------------------------------------------------------------------------

Session::Session(const std::string& ini, int poolSlots, Figures& figures) : f_(figures) {
    sim::HostOptions options;
    options.poolSlots = poolSlots;
    host_ = std::make_unique<sim::Host>(options);
    if (!host_->ok()) {
        violation(f_, "the host's address range is taken");
        return;
    }
    g_host = host_.get();
    g_session = this;
    if (onDll()) {
        std::string error;
        if (!loadDll(ini, &logPath_, &error)) {
            violation(f_, "the DLL did not load: " + error);
            return;
        }
        baseline_ = host_->accounting().liveGeometries;
        {
            PluginScope p;
            ok_ = attachDll();
        }
        // The DLL's C runtime fills its host table during attach.
        wrapTable();
        return;
    }
    char module[260] = "";
    char settingsFile[260] = "";
    char logFile[260] = "";
    platform::ownModulePath(module, sizeof module);
    orchestration::siblingPath(module, ".ini", settingsFile, sizeof settingsFile);
    orchestration::siblingPath(module, ".log", logFile, sizeof logFile);
    logPath_ = logFile;
    std::remove(logFile);
    {
        std::ofstream out(settingsFile, std::ios::binary | std::ios::trunc);
        out << ini;
    }
    wrapTable();
    baseline_ = host_->accounting().liveGeometries;
    {
        PluginScope p;
        orchestration::moduleEntry(nullptr, 1, orchestration::startupBindings());
    }
    wrapLate();
    ok_ = game::registry() != nullptr;
    // Without memory for its registry the plug-in runs stock; that is the
    // answer to the first allocation failing, not a fault.
    if (!ok_ && !pluginAllocationFailed()) violation(f_, "the plug-in did not start");
}

Session::~Session() {
    if (onDll()) removeDllFolder();
    g_session = nullptr;
    g_host = nullptr;
}

void* Session::addCar(dent::Vec at, int model, int detail, const carfile::Car* body) {
    sim::VehicleDesc desc;
    desc.model = model;
    desc.placement = sim::Matrix::yaw(static_cast<float>((model * 37) % 360), at);
    desc.car.detail = detail;
    desc.car.texCoordSets = 1 + (model & 1);
    desc.car.model = body;
    void* v;
    {
        SpendScope host(Spend::Host);
        v = host_->addVehicle(desc);
    }
    if (v == nullptr) return nullptr;
    SpendScope checks(Spend::Checks);
    Car car;
    for (void* a : host_->atomicsOf(game::renderObject(v))) {
        void* g = game::atomicGeometry(a);
        car.atomics.push_back({a, g});
        if (g != nullptr && host_->isLiveGeometry(g)) sources_.remember(g);
    }
    cars_[v] = std::move(car);
    order_.push_back(v);
    return v;
}

void Session::removeCar(void* vehicle) {
    auto it = cars_.find(vehicle);
    if (it == cars_.end()) return;
    for (const Atomic& a : it->second.atomics)
        sources_.forget(a.source);
    cars_.erase(it);
    for (std::size_t i = 0; i < order_.size(); ++i)
        if (order_[i] == vehicle) {
            order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    SpendScope host(Spend::Host);
    host_->removeVehicle(vehicle);
}

void Session::geometryFreed(void* geometry) {
    if (!sources_.forget(geometry)) return;
    for (auto& [vehicle, car] : cars_)
        for (Atomic& at : car.atomics)
            if (at.source == geometry) at.source = nullptr;
}

void Session::forgetCars() {
    cars_.clear();
    order_.clear();
    sources_.clear();
}

void Session::frame(std::uint32_t ms) {
    ++frameNumber_;
    {
        PluginScope p;
        host_->step(ms);
    }
    wrapLate();
    ++f_.frames;
    checkInvariants();
    touched_.clear();
}

void Session::queuePair(void* self, void* other, sim::ColPoint p, float a, float b) {
    ++f_.collisions;
    touched_.insert(self);
    touched_.insert(other);
    sim::Host* h = host_.get();
    h->duringNextProcess([=] {
        PluginScope s;
        h->collidePair(self, other, p, a, b);
    });
}

void Session::queueSingle(void* self, void* other, sim::ColPoint p, float impulse) {
    ++f_.collisions;
    touched_.insert(self);
    touched_.insert(other);
    sim::Host* h = host_.get();
    h->duringNextProcess([=] {
        PluginScope s;
        h->collideSingle(self, other, p, impulse);
    });
}

void Session::queueComponentDamage(void* vehicle, int component, float amount) {
    sim::Host* h = host_.get();
    h->duringNextProcess([=] {
        PluginScope s;
        h->damageComponent(vehicle, component, amount);
    });
}

void Session::restart() {
    {
        PluginScope p;
        host_->shutDownForRestart();
    }
    forgetCars();
    checkInvariants();
}

void Session::finish() {
    {
        PluginScope p;
        // CGame::Shutdown destroys every vehicle inside its pools shutdown;
        // the wrapped target checks the atomics just before.
        host_->endSession();
    }
    if (game::registry() != nullptr && !game::registry()->records.empty())
        violation(f_, "records left after the shutdown");
    forgetCars();
    const sim::Accounting a = host_->accounting();
    if (a.liveGeometries != baseline_ + g_failedDestroys) {
        ++f_.leaks;
        violation(f_, "live geometries " + std::to_string(a.liveGeometries) + ", expected " +
                          std::to_string(baseline_ + g_failedDestroys));
    }
    checkInvariants();
    checkLog();
}

void Session::checkLog() {
    std::ifstream in(logPath_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::size_t from = 0, lines = 0;
    for (std::size_t at; (at = all.find("\r\n", from)) != std::string::npos;
         from = at + 2, ++lines) {
        const std::string line = all.substr(from, at - from);
        bool printable = !line.empty() && line.size() < 400;
        for (unsigned char c : line)
            printable = printable && c >= 0x20 && c < 0x7F;
        bool known = false;
        for (const char* prefix : kLinePrefixes)
            known = known || line.rfind(prefix, 0) == 0;
        if (!printable || !known) violation(f_, "log line not the plug-in's: '" + line + "'");
    }
    if (from != all.size()) violation(f_, "the log ends without CR LF");
    if (lines == 0) {
        f_.emptyLog = 1;
        violation(f_, "the log is empty");
    }
}

} // namespace soak
