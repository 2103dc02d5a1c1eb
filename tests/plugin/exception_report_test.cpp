// The exception reporter in a real fault: a child process dies inside a named
// phase and leaves its report in the log; the report never changes how the
// process ends.

#include "plugin/exception_report.h"
#include "plugin/log.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <regex>
#include <string>

namespace {

struct ChildResult {
    bool signaled;
    int signal;
    int exitCode;
};

// Runs `body` in a child with the reporter installed, logging to `logPath`.
template <typename Body>
ChildResult runChild(const std::string& logPath, bool diagnostics, Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore); // no core files from the deliberate crashes
        plugin::setLogPath(logPath.c_str());
        plugin::setDiagnostics(diagnostics);
        plugin::installExceptionReporter();
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return ChildResult{WIFSIGNALED(status), WIFSIGNALED(status) ? WTERMSIG(status) : 0,
                       WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

#if defined(__i386__)
// Known values in five registers, then a write to address 0x10.
[[gnu::noinline]] void writeNearNull() {
    asm volatile("movl $0x11111111, %%eax\n\t"
                 "movl $0x33333333, %%ecx\n\t"
                 "movl $0x44444444, %%edx\n\t"
                 "movl $0x55555555, %%esi\n\t"
                 "movl $0x66666666, %%edi\n\t"
                 "movl %%eax, 0x10\n\t" ::
                     : "eax", "ecx", "edx", "esi", "edi", "memory");
}
#else
[[gnu::noinline]] void writeNearNull() { *reinterpret_cast<volatile int*>(0x10) = 0x11111111; }
#endif

void illegalInstruction() { asm volatile("ud2"); }
void breakpoint() { asm volatile("int3"); }

// A read past the end of a file mapping: the page cannot be supplied.
void readPastMappedFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, 8192) != 0) _exit(90);
    auto* p = static_cast<volatile char*>(mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0));
    if (p == MAP_FAILED || ftruncate(fd, 0) != 0) _exit(91);
    (void)p[4096];
}

// The child must end as the fault would have ended it without the reporter:
// by the signal (or by the sanitizer's own handler, which takes it first).
void expectDiedOf(const ChildResult& r, int sig) {
    if (r.signaled) EXPECT_EQ(r.signal, sig);
    else EXPECT_NE(r.exitCode, 0) << "the child survived its fault";
}

TEST(ExceptionReport, FaultsInsideAPhaseAreReported) {
    bwtest::ScratchDir dir;
    const std::string mapped = dir.file("mapped.bin");
    struct Case {
        const char* what;
        void (*fault)(const std::string&);
        int signal;
        const char* code;
    } cases[] = {
        {"access violation", [](const std::string&) { writeNearNull(); }, SIGSEGV, "C0000005"},
        {"illegal instruction", [](const std::string&) { illegalInstruction(); }, SIGILL, "C000001D"},
        {"in-page error", [](const std::string& p) { readPastMappedFile(p); }, SIGBUS, "C0000006"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string logPath = dir.file(std::string(c.what) + ".log");
        ChildResult r = runChild(logPath, false, [&] {
            plugin::phase("atomic: lock vertices");
            c.fault(mapped);
        });
        expectDiedOf(r, c.signal);
        const std::string log = bwtest::readFile(logPath);
        std::regex shape("EXCEPTION code=" + std::string(c.code) +
                         " address=0x[0-9a-f]+ module=[^ ]* offset=[0-9A-F]{8} phase=atomic: lock vertices "
                         "access=[0-9]+ target=[0-9A-F]{8} ESP=[0-9A-F]{8}\r\n"
                         "REGISTERS EAX=[0-9A-F]{8} EBX=[0-9A-F]{8} ECX=[0-9A-F]{8} EDX=[0-9A-F]{8} "
                         "ESI=[0-9A-F]{8} EDI=[0-9A-F]{8} EBP=[0-9A-F]{8}\r\n");
        EXPECT_TRUE(std::regex_match(log, shape)) << log;
    }
}

TEST(ExceptionReport, AccessViolationCarriesAccessTargetAndRegisters) {
    bwtest::ScratchDir dir;
    const std::string logPath = dir.file("b.log");
    ChildResult r = runChild(logPath, false, [] {
        plugin::phase("atomic: lock vertices");
        writeNearNull();
    });
    expectDiedOf(r, SIGSEGV);
    const std::string log = bwtest::readFile(logPath);
    char self[512];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    EXPECT_NE(log.find(std::string(" module=") + self + " "), std::string::npos) << log;
    EXPECT_NE(log.find(" access=1 target=00000010 "), std::string::npos) << log;
#if defined(__i386__)
    EXPECT_NE(log.find("EAX=11111111 "), std::string::npos) << log;
    EXPECT_NE(log.find("ECX=33333333 EDX=44444444 ESI=55555555 EDI=66666666 "), std::string::npos) << log;
#endif
}

TEST(ExceptionReport, BreakpointLeavesNoLine) {
    bwtest::ScratchDir dir;
    const std::string logPath = dir.file("b.log");
    ChildResult r = runChild(logPath, false, [] {
        plugin::phase("atomic: lock vertices");
        breakpoint();
    });
    expectDiedOf(r, SIGTRAP);
    EXPECT_EQ(bwtest::readFile(logPath), "");
}

TEST(ExceptionReport, HandlersRegisteredBeforeStillGetTheFault) {
    bwtest::ScratchDir dir;
    const std::string logPath = dir.file("b.log");
    pid_t pid = fork();
    if (pid == 0) {
        struct sigaction own {};
        own.sa_handler = [](int) { _exit(42); };
        sigemptyset(&own.sa_mask);
        sigaction(SIGSEGV, &own, nullptr);
        plugin::setLogPath(logPath.c_str());
        plugin::installExceptionReporter();
        writeNearNull();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
    EXPECT_EQ(bwtest::readFile(logPath).rfind("EXCEPTION code=C0000005 ", 0), 0u);
}

// Faults that something else handles reach the reporter every time they
// happen: each distinct one (code and address) is reported once, in one write
// of its two lines, and after 8 reports one line says no more will come.
TEST(ExceptionReport, RepeatedAndManyFaultsStayBounded) {
    bwtest::ScratchDir dir;
    const std::string logPath = dir.file("b.log");
    ChildResult r = runChild(logPath, false, [] {
        plugin::resetExceptionReportsForTesting();
        platform::FaultInfo f{};
        f.code = 0xC0000005u;
        f.address = 0x1000;
        for (int i = 0; i < 1000; ++i)
            plugin::reportFault(f);
        f.code = 0xC000001Du; // the same address, another fault
        plugin::reportFault(f);
        for (std::uintptr_t a = 0x2000; a < 0x2000 + 20; ++a) {
            f.address = a;
            plugin::reportFault(f);
        }
        f.code = 0x80000003u; // a breakpoint is never counted
        plugin::reportFault(f);
    });
    EXPECT_EQ(r.exitCode, 0);
    const std::string log = bwtest::readFile(logPath);
    const std::string report =
        "EXCEPTION code=[0-9A-F]{8} address=\\S+ module=\\S* offset=[0-9A-F]{8} phase=[a-z ]+ "
        "access=0 target=00000000 ESP=00000000\r\n"
        "REGISTERS EAX=00000000 EBX=00000000 ECX=00000000 EDX=00000000 ESI=00000000 "
        "EDI=00000000 EBP=00000000\r\n";
    std::string eight;
    for (int i = 0; i < 8; ++i)
        eight += report;
    EXPECT_TRUE(std::regex_match(
        log,
        std::regex(eight +
                   "Exception reports: 8 faults reported; further ones are not reported\\.\r\n")))
        << log;
    EXPECT_EQ(log.find("EXCEPTION code=C0000005"), 0u);
    EXPECT_NE(log.find("EXCEPTION code=C000001D"), std::string::npos)
        << "another code at the same address is new";
}

TEST(ExceptionReport, DiagnosticsPhaseReachesTheFileBeforeTheStepDies) {
    bwtest::ScratchDir dir;
    struct Case {
        bool diagnostics;
        const char* expected;
    } cases[] = {{true, "cleanup: check vehicle identity\r\n"}, {false, ""}};
    for (const Case& c : cases) {
        const std::string logPath = dir.file(c.diagnostics ? "on.log" : "off.log");
        ChildResult r = runChild(logPath, c.diagnostics, [] {
            plugin::phase("cleanup: check vehicle identity");
            raise(SIGKILL); // dies at once: nothing else could write the line
        });
        EXPECT_TRUE(r.signaled);
        EXPECT_EQ(bwtest::readFile(logPath), c.expected);
    }
}

} // namespace
