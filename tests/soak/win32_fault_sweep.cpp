// The Windows fault sweep: the product DLL through the sweep's scripted
// session (sweep_script.h), first clean, to count its uses of every Win32 and
// C runtime import; then once per import and use, with that one use failing
// as Windows fails it (winhost's stand-ins). A game thread waits inside the
// bytes the first hook overwrites, so the calls that hold, move and resume
// threads are failed too. Every session runs in a child with a deadline, and
// is judged against the clean one:
//   crash        the child died, let an exception out, or broke an invariant
//                of the host's accounting or the log's form;
//   hang         it missed its deadline, or left the game thread held or
//                inside a hook's overwritten bytes;
//   leak         a geometry or a kernel handle outlived the session;
//   silent loss  its log differs from the clean one (a line lost or changed)
//                and no new line says what failed.
// It ends with one line: "N sessions, C crashes, H hangs, L leaks, S silent
// losses", and exits non-zero on any crash, hang or leak.
//
// Length: every use of an import used at most 48 times in the session; of the
// long tails (the region queries, the C runtime's allocations) the first 24
// uses, the last, and 23 more spread evenly over the rest. Calls that Windows
// never fails (GetCurrentThreadId, memcpy, critical sections, ...) are
// counted and named, not swept.
// BW_WIN32_SWEEP=short (the test command: 4 s natively, 42 under the
// emulator) fails the first, the middle and the last use of each import
// instead; BW_WIN32_SWEEP_IMPORT=<import> fails every
// use of that one import. BW_WIN32_SWEEP_ONLY=<import>:<use> reruns one
// session and prints its log.

#include "harness.h"
#include "sweep_script.h"

#include "game/host_layout.h"
#include "winhost/call_counts.h"
#include "winhost/game_threads.h"
#include "winhost/handles.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A clean session takes a fraction of a second natively and a few seconds
// under the emulator; one that is still running after this never ends.
constexpr int kDeadlineSeconds = 120;
constexpr std::uint32_t kAllUpTo = 48;
constexpr std::uint32_t kHead = 24;
constexpr std::uint32_t kSpread = 24;

// Lines that report what the plug-in did; any other line that the clean
// session lacks says that something failed.
const char* const kReportPrefixes[] = {"Bucklewright ",
                                       "Active. ",
                                       "Lifecycle hooks active:",
                                       "Contact hooks active:",
                                       "Part retention active:",
                                       "Geometry ABI: validated",
                                       "Hit: ",
                                       "RearLight: ",
                                       "PartRetention: component=",
                                       "PanelMesh:",
                                       "PanelFold:",
                                       "PanelBounds:",
                                       "Lifecycle: ",
                                       "Player deformation reset."};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
        out.push_back(text.substr(from, at - from));
    if (from < text.size()) out.push_back(text.substr(from));
    return out;
}

bool reportLine(const std::string& line) {
    for (const char* prefix : kReportPrefixes)
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

// The clean session's log; children inherit it.
std::vector<std::string> g_referenceLog;

struct Verdict {
    bool crash = false, hang = false, leak = false, silentLoss = false, reached = true;
    std::string detail;
};

// A game thread stopped inside the bytes the first hook overwrites, so that
// the sweep also fails the calls that hold, move and resume threads.
constexpr game::Address kHookSites[] = {game::addr::PairContact,     game::addr::SingleContact,
                                        game::addr::GameShutdown,    game::addr::ShutDownForRestart,
                                        game::addr::ComponentDamage, game::addr::DamageReset};
winhost::DWORD g_gameThread = 0;
int g_stranded = 0;

void addGameThread() {
    winhost::Context c{};
    c.eip = game::addr::PairContact + 3;
    c.esp = 0x12FF00;
    g_gameThread = winhost::addGameThread(c);
}

// At the session's end, while the game's code is still there: is the game
// thread still held, or would it resume inside bytes a hook overwrote (half
// an instruction)?
void checkGameThread() {
    g_stranded = winhost::suspendCount(g_gameThread) != 0;
    const std::uint32_t eip = winhost::gameThreadContext(g_gameThread).eip;
    for (game::Address site : kHookSites)
        if (eip > site && eip < site + 5 && *reinterpret_cast<const std::uint8_t*>(site) == 0xE9)
            g_stranded = 1;
}

// What a child writes back: "key value" lines, then "end".
std::string childReport(const soak::Figures& f, const std::string& log, const char* import,
                        std::uint32_t use, bool withCounts) {
    std::ostringstream out;
    out << "stranded " << g_stranded << "\n";
    out << "violations " << f.violations << "\nleaks " << f.leaks << "\nexceptions " << f.exceptions
        << "\ncompleted " << f.completed << "\nemptyLog " << f.emptyLog << "\n";
    out << "files " << winhost::openHandles(winhost::HandleKind::File) << "\nthreads "
        << winhost::openHandles(winhost::HandleKind::Thread) << "\nsnapshots "
        << winhost::openHandles(winhost::HandleKind::Snapshot) << "\n";
    if (import != nullptr) out << "reached " << (winhost::uses(import) >= use ? 1 : 0) << "\n";
    // The log against the clean one, as multisets of lines.
    std::map<std::string, int> balance;
    for (const std::string& l : g_referenceLog)
        ++balance[l];
    for (const std::string& l : linesOf(log))
        --balance[l];
    int missing = 0, extra = 0, explained = 0;
    std::string firstMissing, firstExtra;
    for (const auto& [line, n] : balance) {
        if (n > 0) {
            missing += n;
            if (firstMissing.empty()) firstMissing = line;
        } else if (n < 0) {
            extra -= n;
            if (!reportLine(line)) {
                ++explained;
                if (firstExtra.empty() || reportLine(firstExtra)) firstExtra = line;
            } else if (firstExtra.empty()) {
                firstExtra = line;
            }
        }
    }
    out << "missing " << missing << "\nextra " << extra << "\nexplained " << explained << "\n";
    out << "firstMissing " << firstMissing.substr(0, 200) << "\nfirstExtra "
        << firstExtra.substr(0, 200) << "\n";
    if (withCounts) {
        for (const auto& [name, n] : winhost::callCounts())
            out << (winhost::canFail(name.c_str()) ? "uses " : "sure ") << name << " " << n << "\n";
        for (const std::string& l : linesOf(log))
            out << "log " << l << "\n";
    }
    out << "end\n";
    return out.str();
}

struct ChildResult {
    std::map<std::string, std::string> fields;
    std::map<std::string, std::uint32_t> uses; // of the imports Windows can fail
    std::vector<std::string> sure;             // imports Windows never fails
    std::vector<std::string> log;
    bool ended = false;
    int status = 0;
    bool timedOut = false;
};

// Runs one session in a child: `import` failing at its `use`th use (none
// when null). The child's report is read until it ends or the deadline passes.
ChildResult runSession(const char* import, std::uint32_t use, bool withCounts, bool printLog) {
    std::fflush(stdout);
    ChildResult r;
    int fds[2];
    if (::pipe(fds) != 0) return r;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        soak::resetSpend();
        const std::string what =
            import != nullptr ? std::string(import) + " failing at use " + std::to_string(use)
                              : std::string("clean session");
        soak::setContext(what);
        if (import != nullptr) winhost::failOnUse(import, use);
        addGameThread();
        soak::Figures f;
        std::string log;
        try {
            soak::sweepScript(f, &log, &checkGameThread);
            f.completed = 1;
        } catch (...) {
            ++f.exceptions;
        }
        if (printLog) std::printf("--- log:\n%s---\n", log.c_str());
        std::fflush(stdout);
        const std::string text = childReport(f, log, import, use, withCounts);
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) ::_exit(3);
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kDeadlineSeconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0) continue;
        if (ready == 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    ::waitpid(pid, &r.status, 0);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line == "end") {
            r.ended = true;
            break;
        }
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "log") {
            r.log.push_back(value);
        } else if (key == "sure") {
            r.sure.push_back(value.substr(0, value.rfind(' ')));
        } else if (key == "uses") {
            const std::size_t at = value.rfind(' ');
            r.uses[value.substr(0, at)] =
                static_cast<std::uint32_t>(std::strtoul(value.c_str() + at + 1, nullptr, 10));
        } else {
            r.fields[key] = value;
        }
    }
    return r;
}

std::uint64_t number(const ChildResult& r, const char* key) {
    const auto it = r.fields.find(key);
    return it == r.fields.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

Verdict judge(const ChildResult& r) {
    Verdict v;
    if (r.timedOut) {
        v.hang = true;
        v.detail = "no end within " + std::to_string(kDeadlineSeconds) + " s";
        return v;
    }
    if (number(r, "stranded") != 0) {
        v.hang = true;
        v.detail = "a game thread left held, or inside a hook's overwritten bytes";
    }
    if (!r.ended || !WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0) {
        v.crash = true;
        v.detail += WIFSIGNALED(r.status) ? "killed by signal " + std::to_string(WTERMSIG(r.status))
                                          : "ended with status " + std::to_string(r.status);
        return v;
    }
    const std::uint64_t leaks = number(r, "leaks");
    // A plug-in that could not learn its own path writes no log at all:
    // judged below as what it lost, not as broken.
    const std::uint64_t accounted = leaks + number(r, "emptyLog");
    if (number(r, "completed") != 1 || number(r, "exceptions") != 0 ||
        number(r, "violations") > accounted) {
        v.crash = true;
        v.detail += (v.detail.empty() ? "" : "; ") + std::string("violations ") +
                    std::to_string(number(r, "violations")) + ", exceptions " +
                    std::to_string(number(r, "exceptions"));
    }
    const std::uint64_t handles =
        number(r, "files") + number(r, "threads") + number(r, "snapshots");
    if (leaks != 0 || handles != 0) {
        v.leak = true;
        v.detail += (v.detail.empty() ? "" : "; ") + std::to_string(leaks) + " geometries, " +
                    std::to_string(handles) + " handles left";
    }
    v.reached = r.fields.count("reached") == 0 || number(r, "reached") == 1;
    const bool changed = number(r, "missing") != 0 || number(r, "extra") != 0;
    if (changed && number(r, "explained") == 0) {
        v.silentLoss = true;
        const auto field = [&](const char* k) {
            const auto it = r.fields.find(k);
            return it == r.fields.end() ? std::string() : it->second;
        };
        v.detail += (v.detail.empty() ? "" : "; ") + std::string("log lost '") +
                    field("firstMissing") + "'" +
                    (field("firstExtra").empty() ? "" : ", gained '" + field("firstExtra") + "'");
    }
    return v;
}

// The uses to fail of an import used `count` times.
std::vector<std::uint32_t> usesToFail(std::uint32_t count, bool shortRun) {
    std::set<std::uint32_t> out;
    if (count == 0) return {};
    if (shortRun) {
        out.insert(1);
        out.insert((count + 1) / 2);
        out.insert(count);
    } else if (count <= kAllUpTo) {
        for (std::uint32_t n = 1; n <= count; ++n)
            out.insert(n);
    } else {
        for (std::uint32_t n = 1; n <= kHead; ++n)
            out.insert(n);
        for (std::uint32_t k = 1; k < kSpread; ++k)
            out.insert(kHead +
                       static_cast<std::uint32_t>(std::uint64_t(count - kHead) * k / kSpread));
        out.insert(count);
    }
    return {out.begin(), out.end()};
}

// A folder of the sweep's own for the children's copies of the DLL; those a
// crashed or stopped child left behind go with it.
struct ScratchFolder {
    std::string path;
    ScratchFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bwwin32sweep-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
        if (!path.empty()) ::setenv("TMPDIR", path.c_str(), 1);
    }
    ~ScratchFolder() { remove(path); }
    static void remove(const std::string& dir) {
        if (dir.empty()) return;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                const std::string p = dir + "/" + name;
                struct stat st {};
                if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    remove(p);
                else
                    ::unlink(p.c_str());
            }
            ::closedir(d);
        }
        ::rmdir(dir.c_str());
    }
};

// "crash, leak, ...: detail" for a session that was more than clean.
std::string describe(const Verdict& v) {
    std::string what;
    if (v.crash) what += "crash, ";
    if (v.hang) what += "hang, ";
    if (v.leak) what += "leak, ";
    if (v.silentLoss) what += "silent loss, ";
    if (!v.reached) what += "(the failing use never came), ";
    what += v.detail;
    return what.empty() ? "survived; nothing lost that the log does not say" : what;
}

} // namespace

int main() {
    ::setenv("BW_SOAK_BINARY", "dll", 1);
    ScratchFolder scratch;
    if (scratch.path.empty()) {
        std::printf("win32 sweep: no scratch folder\n");
        return 2;
    }
    const char* mode = std::getenv("BW_WIN32_SWEEP");
    const bool shortRun = mode != nullptr && std::strcmp(mode, "short") == 0;

    // The plug-in never runs in this process: every session, the clean one
    // too, is a child's.
    const ChildResult clean = runSession(nullptr, 0, true, false);
    const Verdict cleanVerdict = judge(clean);
    if (cleanVerdict.crash || cleanVerdict.hang || cleanVerdict.leak || clean.uses.empty()) {
        std::printf("win32 sweep: the clean session failed: %s\n", cleanVerdict.detail.c_str());
        return 1;
    }
    g_referenceLog = clean.log;
    // A second clean session must write the same log, or the judgement of
    // every other would be noise.
    const ChildResult again = runSession(nullptr, 0, false, false);
    if (number(again, "missing") != 0 || number(again, "extra") != 0) {
        std::printf("win32 sweep: two clean sessions wrote different logs\n");
        return 1;
    }
    std::string sure;
    for (const std::string& name : clean.sure)
        sure += " " + name;
    std::printf("win32 sweep: never failed by Windows, not swept:%s\n", sure.c_str());

    if (const char* only = std::getenv("BW_WIN32_SWEEP_ONLY")) {
        const std::string importAndUse = only; // IMPORT:USE
        const std::size_t colon = importAndUse.rfind(':');
        if (colon == std::string::npos) return 2;
        const std::string import = importAndUse.substr(0, colon);
        const auto use = static_cast<std::uint32_t>(
            std::strtoul(importAndUse.c_str() + colon + 1, nullptr, 10));
        const Verdict v = judge(runSession(import.c_str(), use, false, true));
        std::printf("%s at use %u: %s\n", import.c_str(), use, describe(v).c_str());
        return v.crash || v.hang || v.leak ? 1 : 0;
    }

    const char* onlyImport = std::getenv("BW_WIN32_SWEEP_IMPORT");
    std::uint64_t sessions = 0, crashes = 0, hangs = 0, leaks = 0, silent = 0, unreached = 0;
    for (const auto& [import, count] : clean.uses) {
        if (onlyImport != nullptr && import != onlyImport) continue;
        std::vector<std::uint32_t> chosen = usesToFail(count, shortRun);
        if (onlyImport != nullptr) {
            chosen.clear();
            for (std::uint32_t n = 1; n <= count; ++n)
                chosen.push_back(n);
        }
        std::uint64_t importSilent = 0;
        for (std::uint32_t n : chosen) {
            const Verdict v = judge(runSession(import.c_str(), n, false, false));
            ++sessions;
            crashes += v.crash;
            hangs += v.hang;
            leaks += v.leak;
            silent += v.silentLoss;
            importSilent += v.silentLoss;
            unreached += !v.reached;
            if (v.crash || v.hang || v.leak || v.silentLoss)
                std::printf("  %s at use %u: %s\n", import.c_str(), n, describe(v).c_str());
        }
        std::printf("win32 sweep: %s: %u uses, %zu sessions", import.c_str(), count, chosen.size());
        if (importSilent != 0)
            std::printf(", %llu silent losses", static_cast<unsigned long long>(importSilent));
        std::printf("\n");
    }
    if (unreached != 0)
        std::printf("win32 sweep: %llu sessions ended before their failing use\n",
                    static_cast<unsigned long long>(unreached));
    std::printf("%llu sessions, %llu crashes, %llu hangs, %llu leaks, %llu silent losses\n",
                static_cast<unsigned long long>(sessions), static_cast<unsigned long long>(crashes),
                static_cast<unsigned long long>(hangs), static_cast<unsigned long long>(leaks),
                static_cast<unsigned long long>(silent));
    return crashes == 0 && hangs == 0 && leaks == 0 ? 0 : 1;
}
