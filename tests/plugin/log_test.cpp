// Log lines byte for byte, the phase marker, and the direct exception report
// with its exact line texts.

#include "plugin/exception_report.h"
#include "plugin/log.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <string>

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.file("b.log");
        plugin::setLogPath(path_.c_str());
        plugin::setDiagnostics(false);
        plugin::resetExceptionReportsForTesting();
    }
    void TearDown() override {
        plugin::setLogPath("");
        plugin::setDiagnostics(false);
        plugin::setCurrentPhase("startup");
    }
    std::string log() const { return bwtest::readFile(path_); }

    bwtest::ScratchDir dir_;
    std::string path_;
};

TEST_F(LogTest, LinesEndInCrLfAndAreAppended) {
    plugin::logLine("Bucklewright banner");
    plugin::logLine("");
    plugin::logLine("two\nparts");
    plugin::logFormat(128, "hit %d at %.2f", 3, 1.5);
    plugin::logFormat(8, "%s", "abcdefghijkl"); // cut to the 8-byte buffer
    EXPECT_EQ(log(), "Bucklewright banner\r\n\r\ntwo\r\nparts\r\nhit 3 at 1.50\r\nabcdefg\r\n");
}

TEST_F(LogTest, PhasesAreWrittenWhenForcedOrWithDiagnostics) {
    struct Case {
        bool diagnostics;
        bool force;
        bool written;
    } cases[] = {{false, false, false}, {false, true, true}, {true, false, true}, {true, true, true}};
    std::string expected;
    for (const Case& c : cases) {
        plugin::setDiagnostics(c.diagnostics);
        plugin::phase("cleanup: check vehicle identity", c.force);
        EXPECT_STREQ(plugin::currentPhase(), "cleanup: check vehicle identity");
        if (c.written) expected += "cleanup: check vehicle identity\r\n";
        plugin::setCurrentPhase("game process"); // in memory only, whatever Diagnostics says
        EXPECT_STREQ(plugin::currentPhase(), "game process");
    }
    EXPECT_EQ(log(), expected);
}

TEST_F(LogTest, UnopenableLogLosesTheLineOnly) {
    const std::string bad = dir_.file("no-such-folder/b.log");
    plugin::setLogPath(bad.c_str());
    plugin::logLine("lost");
    plugin::phase("atomic: lock vertices", true);
    EXPECT_STREQ(plugin::currentPhase(), "atomic: lock vertices");
    EXPECT_EQ(bwtest::readFile(bad), "");

    // The path is cut to 259 characters, never overflowed.
    std::string longPath(400, 'x');
    plugin::setLogPath(longPath.c_str());
    EXPECT_EQ(std::string(plugin::logPath()), longPath.substr(0, 259));
}

platform::FaultInfo fault(std::uint32_t code, std::uintptr_t address, std::uint32_t count) {
    platform::FaultInfo f{};
    f.code = code;
    f.address = address;
    f.parameterCount = count;
    f.parameters[0] = 1;
    f.parameters[1] = 0x10;
    f.eax = 1;
    f.ebx = 2;
    f.ecx = 3;
    f.edx = 4;
    f.esi = 5;
    f.edi = 0xDEADBEEF;
    f.ebp = 7;
    f.esp = 0x0BADF00D;
    return f;
}

TEST_F(LogTest, ReportsOnlyTheListedCodes) {
    struct Case {
        std::uint32_t code;
        bool reported;
    } cases[] = {{0xC0000005u, true},  {0xC0000006u, true},  {0xC000001Du, true}, {0x80000002u, true},
                 {0x80000003u, false}, {0xC0000094u, false}, {0xC00000FDu, false}, {0u, false}};
    for (const Case& c : cases) {
        std::string before = log();
        plugin::reportFault(fault(c.code, 0x1000, 2));
        EXPECT_EQ(log() != before, c.reported) << std::hex << c.code;
    }
}

TEST_F(LogTest, ReportLinesOutsideAnyModule) {
    // An address in no loaded object: empty module, offset equal to the address.
    void* anon = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(anon, MAP_FAILED);
    auto address = reinterpret_cast<std::uintptr_t>(anon) + 0x24;
    plugin::phase("atomic: lock vertices");
    plugin::reportFault(fault(0xC0000005u, address, 2));
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "EXCEPTION code=C0000005 address=%p module= offset=%08lX phase=atomic: lock vertices access=1 "
                  "target=00000010 ESP=0BADF00D\r\n"
                  "REGISTERS EAX=00000001 EBX=00000002 ECX=00000003 EDX=00000004 ESI=00000005 EDI=DEADBEEF "
                  "EBP=00000007\r\n",
                  reinterpret_cast<void*>(address), static_cast<unsigned long>(address));
    EXPECT_EQ(log(), expected);
    EXPECT_STREQ(plugin::currentPhase(), "after exception report");

    // The guard was released: the next fault is reported too, and without
    // parameters access and target read 0.
    plugin::reportFault(fault(0xC000001Du, address, 0));
    EXPECT_NE(log().find("code=C000001D"), std::string::npos);
    EXPECT_NE(log().find("phase=after exception report access=0 target=00000000"), std::string::npos);
    munmap(anon, 4096);
}

TEST_F(LogTest, ReportNamesTheModuleAndOffset) {
    auto address = reinterpret_cast<std::uintptr_t>(&plugin::reportFault);
    plugin::reportFault(fault(0xC0000005u, address, 2));
    char self[260];
    ASSERT_TRUE(platform::ownModulePath(self, sizeof self));
    std::uintptr_t base = 0;
    ASSERT_TRUE(platform::moduleAt(address, &base, nullptr, 0));
    char expected[600];
    std::snprintf(expected, sizeof expected, " module=%s offset=%08lX ", self, static_cast<unsigned long>(address - base));
    EXPECT_NE(log().find(expected), std::string::npos) << log();
}

} // namespace
