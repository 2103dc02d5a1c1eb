// The system calls the product DLL makes, on the answers it can observe,
// against two implementations with one table of expected answers: Wine's
// (this program built for Windows and run under Wine by the win32 tests)
// and the Windows model's stand-ins (linux32). The expected answers are
// Wine's, which nobody here wrote; where the model answered otherwise, the
// model was mended.

#include "platform/platform.h"
#include "scratch_dir.h"

#ifdef _WIN32
#include "wingame/game_process.h"
#else
#include "winhost/process.h"
#include "winhost/stand_ins.h"
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using Dword = std::uint32_t;
#define STDCALL __attribute__((stdcall))

template <class Fn> Fn kernel32(const char* name) {
#ifdef _WIN32
    void* f = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name));
#else
    void* f = winhost::findStandIn("KERNEL32.dll", name);
#endif
    EXPECT_NE(f, nullptr) << name;
    return reinterpret_cast<Fn>(f);
}

template <class Fn> Fn user32(const char* name) {
#ifdef _WIN32
    void* f = reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("user32.dll"), name));
#else
    void* f = winhost::findStandIn("USER32.dll", name);
#endif
    EXPECT_NE(f, nullptr) << name;
    return reinterpret_cast<Fn>(f);
}

Dword lastError() {
    return kernel32<Dword(STDCALL*)()>("GetLastError")();
}
void setLastError(Dword e) {
    kernel32<void(STDCALL*)(Dword)>("SetLastError")(e);
}

// A folder for the test's files, and the names the calls know them by.
class Folder {
  public:
    Folder() {
#ifndef _WIN32
        winhost::mapDrive(dir_.file(""));
#endif
    }
    std::string name(const std::string& file) const {
#ifdef _WIN32
        return dir_.file(file);
#else
        return "C:\\" + file;
#endif
    }
    void write(const std::string& file, const std::string& bytes) const {
        dir_.write(file, bytes);
    }
    std::string read(const std::string& file) const {
        return bwtest::readFile(dir_.file(file));
    }

  private:
    bwtest::ScratchDir dir_;
};

// ---- settings files -------------------------------------------------------------

using ProfileString = Dword(STDCALL*)(const char*, const char*, const char*, char*, Dword,
                                      const char*);
using ProfileInt = Dword(STDCALL*)(const char*, const char*, int, const char*);

struct ProfileCase {
    const char* name;
    std::string file; // the settings file's bytes
    const char* text; // GetPrivateProfileStringA("S", "K", "dflt", 80 bytes)
    Dword length;     // its result
    Dword number;     // GetPrivateProfileIntA("S", "K", 7)
};

const std::string kLongValue = [] {
    std::string v;
    for (int i = 0; i < 300; ++i)
        v += static_cast<char>('1' + i % 9);
    return v;
}();

const ProfileCase kProfileCases[] = {
    {"plain", "[S]\nK=12\n", "12", 2, 12},
    {"blanks around name and value", "[S]\n  K  =  12  \n", "12", 2, 12},
    {"tabs", "[S]\nK\t=\t5\t\n", "5", 1, 5},
    {"names in any case", "[s]\nk=5\n", "5", 1, 5},
    {"double quotes", "[S]\nK=\"3\"\n", "3", 1, 3},
    {"single quotes", "[S]\nK='3'\n", "3", 1, 3},
    {"blanks inside quotes", "[S]\nK= \" 3 \" \n", " 3 ", 3, 3},
    {"outer quotes only", "[S]\nK=\"a\" b\"\n", "a\" b", 4, 0},
    {"unmatched quote", "[S]\nK=\"3\n", "\"3", 2, 0},
    {"quote then comment", "[S]\nK=\"3\" ;c\n", "\"3\" ;c", 6, 0},
    {"negative", "[S]\nK=-5\n", "-5", 2, 0xFFFFFFFBu},
    {"plus sign", "[S]\nK= +7\n", "+7", 2, 7},
    {"huge wraps", "[S]\nK=99999999999\n", "99999999999", 11, 1215752191u},
    {"huge negative wraps", "[S]\nK=-3000000000\n", "-3000000000", 11, 1294967296u},
    {"2^32 wraps to 0", "[S]\nK=4294967296\n", "4294967296", 10, 0},
    {"hexadecimal", "[S]\nK=0x10\n", "0x10", 4, 16},
    {"negative hexadecimal", "[S]\nK=-0x10\n", "-0x10", 5, 0xFFFFFFF0u},
    {"binary", "[S]\nK=0b101\n", "0b101", 5, 5},
    {"octal", "[S]\nK=0o17\n", "0o17", 4, 15},
    {"leading zero is decimal", "[S]\nK=010\n", "010", 3, 10},
    {"not a number", "[S]\nK=abc\n", "abc", 3, 0},
    {"number then text", "[S]\nK=12abc\n", "12abc", 5, 12},
    {"float", "[S]\nK=3.9\n", "3.9", 3, 3},
    {"exponent", "[S]\nK=1e3\n", "1e3", 3, 1},
    {"two numbers", "[S]\nK=1 2\n", "1 2", 3, 1},
    {"comment after the value stays", "[S]\nK=3 ; three\n", "3 ; three", 9, 3},
    {"'=' inside the value", "[S]\nK=a=b\n", "a=b", 3, 0},
    {"empty value", "[S]\nK=\n", "", 0, 7},
    {"key without '='", "[S]\nK\n", "dflt", 4, 7},
    {"first of two keys", "[S]\nK=1\nK=2\n", "1", 1, 1},
    {"first of two sections", "[S]\nK=1\n[S]\nK=2\n", "1", 1, 1},
    {"only the first section", "[S]\nA=1\n[T]\nB=1\n[S]\nK=2\n", "dflt", 4, 7},
    {"';' comment line", "[S]\n;K=5\nK=6\n", "6", 1, 6},
    {"'#' comment line", "[S]\n#K=5\nK=6\n", "6", 1, 6},
    {"key before any section", "K=9\n[S]\nK=5\n", "5", 1, 5},
    {"blanks in the section name", "[ S ]\nK=5\n", "5", 1, 5},
    {"section without ']'", "[S\nK=5\n", "dflt", 4, 7},
    {"blank inside the key", "[S]\nK K=5\n", "dflt", 4, 7},
    {"CR line ends", "[S]\rK=5\r", "5", 1, 5},
    {"CR LF line ends", "[S]\r\nK=5\r\n", "5", 1, 5},
    {"UTF-8 mark", "\xEF\xBB\xBF[S]\nK=5\n", "5", 1, 5},
    {"no line end at the end", "[S]\n\n\nK=5", "5", 1, 5},
    {"NUL inside the value", std::string("[S]\nK=4\0005\n", 10), "4", 1, 4},
    {"long line before", "[S]\nJ=" + std::string(20000, 'x') + "\nK=4\n", "4", 1, 4},
};

TEST(SettingsFile, EachHostileFileReadsAsWineReadsIt) {
    const Folder folder;
    const auto text = kernel32<ProfileString>("GetPrivateProfileStringA");
    const auto number = kernel32<ProfileInt>("GetPrivateProfileIntA");
    const std::string path = folder.name("s.ini");
    for (const ProfileCase& c : kProfileCases) {
        SCOPED_TRACE(c.name);
        folder.write("s.ini", c.file);
        char out[80];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(text("S", "K", "dflt", out, sizeof out, path.c_str()), c.length);
        EXPECT_STREQ(out, c.text);
        EXPECT_EQ(number("S", "K", 7, path.c_str()), c.number);
    }
}

// A value longer than the buffer: cut to 79 characters, terminated; the
// integer read sees only its start.
TEST(SettingsFile, LongValueIsCutAndItsNumberReadFromItsStart) {
    const Folder folder;
    const auto text = kernel32<ProfileString>("GetPrivateProfileStringA");
    const auto number = kernel32<ProfileInt>("GetPrivateProfileIntA");
    const std::string path = folder.name("s.ini");
    folder.write("s.ini", "[S]\nK=" + kLongValue + "\nF=0." + std::string(200, '0') + "1\n");
    char out[80];
    EXPECT_EQ(text("S", "K", "", out, sizeof out, path.c_str()), 79u);
    EXPECT_EQ(std::string(out), kLongValue.substr(0, 79));
    EXPECT_EQ(number("S", "K", 7, path.c_str()), 1907696704u);
    EXPECT_EQ(text("S", "F", "", out, sizeof out, path.c_str()), 79u);
    EXPECT_EQ(std::string(out), "0." + std::string(77, '0'));
}

TEST(SettingsFile, BuffersAndDefaults) {
    const Folder folder;
    const auto text = kernel32<ProfileString>("GetPrivateProfileStringA");
    const auto number = kernel32<ProfileInt>("GetPrivateProfileIntA");
    const std::string path = folder.name("s.ini");
    folder.write("s.ini", "[S]\nK=quoted value\n");
    char out[8];
    EXPECT_EQ(text("S", "K", "", out, 5, path.c_str()), 4u);
    EXPECT_STREQ(out, "quot");
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(text("S", "K", "", out, 1, path.c_str()), 0u);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(text("S", "missing", "abc  ", out, sizeof out, path.c_str()), 3u)
        << "the default loses its trailing blanks";
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(text("S", "missing", "  abc", out, sizeof out, path.c_str()), 5u)
        << "but keeps its leading ones";
    EXPECT_STREQ(out, "  abc");
    EXPECT_EQ(text("S", "missing", "toolongdefault", out, sizeof out, path.c_str()), 7u);
    EXPECT_STREQ(out, "toolong");
    EXPECT_EQ(text("S", "missing", nullptr, out, sizeof out, path.c_str()), 0u);
    EXPECT_STREQ(out, "");

    const std::string missing = folder.name("missing\\s.ini");
    EXPECT_EQ(text("S", "K", "d", out, sizeof out, missing.c_str()), 1u);
    EXPECT_STREQ(out, "d");
    EXPECT_EQ(number("S", "K", 7, missing.c_str()), 7u);
}

// ---- the module --------------------------------------------------------------------

using ModuleHandleEx = int(STDCALL*)(Dword, const void*, void**);
using ModuleFileName = Dword(STDCALL*)(void*, char*, Dword);

// A cut path fills the whole buffer and is not terminated; the product
// terminates it itself.
TEST(Module, FileNameCutToTheBufferIsNotTerminated) {
#ifndef _WIN32
    platform::testing::setExecutableBase(0x400000);
    winhost::setExecutableImage(0x1000, "C:\\Games\\gta3.exe");
#endif
    const auto fileName = kernel32<ModuleFileName>("GetModuleFileNameA");
    char full[260];
    const Dword n = fileName(nullptr, full, sizeof full);
    ASSERT_GT(n, 8u);
    ASSERT_EQ(std::strlen(full), n);
    char cut[12];
    std::memset(cut, '#', sizeof cut);
    setLastError(0);
    EXPECT_EQ(fileName(nullptr, cut, 8), 8u);
    EXPECT_EQ(std::string(cut, 8), std::string(full, 8));
    EXPECT_EQ(cut[8], '#');
    EXPECT_EQ(lastError(), 122u); // ERROR_INSUFFICIENT_BUFFER
}

TEST(Module, HandleRequestsThatFailSayWhy) {
    const auto handleEx = kernel32<ModuleHandleEx>("GetModuleHandleExA");
    const auto alloc = kernel32<void*(STDCALL*)(void*, Dword, Dword, Dword)>("VirtualAlloc");
    void* notAModule = alloc(nullptr, 0x1000, 0x3000, 0x04);
    ASSERT_NE(notAModule, nullptr);
    void* found = notAModule;
    EXPECT_FALSE(handleEx(6, notAModule, &found)) << "from an address outside any module";
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(lastError(), 126u); // ERROR_MOD_NOT_FOUND
    found = notAModule;
    EXPECT_FALSE(handleEx(3, nullptr, &found)) << "pinned with an unchanged count";
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(lastError(), 87u); // ERROR_INVALID_PARAMETER
}

// ---- memory ----------------------------------------------------------------------

struct Mbi {
    void* base;
    void* allocationBase;
    Dword allocationProtect, size, state, protect, type;
};

TEST(Memory, QueriesAnswerForFreeReservedGuardedAndShortRecords) {
    const auto alloc = kernel32<void*(STDCALL*)(void*, Dword, Dword, Dword)>("VirtualAlloc");
    const auto release = kernel32<int(STDCALL*)(void*, Dword, Dword)>("VirtualFree");
    const auto query = kernel32<Dword(STDCALL*)(const void*, Mbi*, Dword)>("VirtualQuery");
    auto* block = static_cast<char*>(alloc(nullptr, 0x3000, 0x2000, 0x04)); // reserved
    ASSERT_NE(block, nullptr);
    ASSERT_NE(alloc(block, 0x1000, 0x1000, 0x04), nullptr); // its first page committed

    Mbi m{};
    ASSERT_EQ(query(block + 0x1010, &m, sizeof m), sizeof m);
    EXPECT_EQ(m.base, block + 0x1000);
    EXPECT_EQ(m.allocationBase, block);
    EXPECT_EQ(m.state, 0x2000u) << "reserved";
    EXPECT_EQ(m.protect, 0u);
    EXPECT_EQ(m.size, 0x2000u);

    EXPECT_EQ(query(block, &m, 20), 0u) << "a record too short for the answer";
    EXPECT_EQ(lastError(), 24u); // ERROR_BAD_LENGTH

    ASSERT_TRUE(release(block, 0, 0x8000));
    ASSERT_EQ(query(block, &m, sizeof m), sizeof m);
    EXPECT_EQ(m.state, 0x10000u) << "free";
    EXPECT_EQ(m.protect, 0x01u) << "free memory reads as no access";
    EXPECT_EQ(m.allocationBase, nullptr);
    EXPECT_EQ(m.type, 0u);

    void* guarded = alloc(nullptr, 0x1000, 0x3000, 0x104);
    ASSERT_NE(guarded, nullptr);
    ASSERT_EQ(query(guarded, &m, sizeof m), sizeof m);
    EXPECT_EQ(m.protect, 0x104u) << "read-write with the guard bit";
    release(guarded, 0, 0x8000);
}

TEST(Memory, ProtectionChangesAndTheirRefusals) {
    const auto alloc = kernel32<void*(STDCALL*)(void*, Dword, Dword, Dword)>("VirtualAlloc");
    const auto release = kernel32<int(STDCALL*)(void*, Dword, Dword)>("VirtualFree");
    const auto protect = kernel32<int(STDCALL*)(void*, Dword, Dword, Dword*)>("VirtualProtect");
    auto* block = static_cast<char*>(alloc(nullptr, 0x2000, 0x2000, 0x04));
    ASSERT_NE(alloc(block, 0x1000, 0x1000, 0x04), nullptr);
    Dword old = 0;
    EXPECT_TRUE(protect(block + 4, 4, 0x20, &old));
    EXPECT_EQ(old, 0x04u);
    EXPECT_FALSE(protect(block, 4, 0x04, nullptr)) << "nowhere for the old protection";
    EXPECT_EQ(lastError(), 998u); // ERROR_NOACCESS
    EXPECT_FALSE(protect(block + 0x1000, 4, 0x04, &old)) << "reserved, not committed";
    EXPECT_EQ(lastError(), 487u); // ERROR_INVALID_ADDRESS
    release(block, 0, 0x8000);
    EXPECT_FALSE(protect(block, 4, 0x04, &old)) << "free";
    EXPECT_EQ(lastError(), 87u); // ERROR_INVALID_PARAMETER
}

// ---- the log file ---------------------------------------------------------------------

TEST(LogFile, AppendCreatesOnceAndAddsAtTheEnd) {
    const Folder folder;
    const auto create =
        kernel32<void*(STDCALL*)(const char*, Dword, Dword, void*, Dword, Dword, void*)>(
            "CreateFileA");
    const auto write =
        kernel32<int(STDCALL*)(void*, const void*, Dword, Dword*, void*)>("WriteFile");
    const auto close = kernel32<int(STDCALL*)(void*)>("CloseHandle");
    const std::string path = folder.name("a.log");
    for (const char* text : {"ab", "cd"}) {
        setLastError(0);
        void* file = create(path.c_str(), 4, 3, nullptr, 4, 0x80, nullptr);
        ASSERT_NE(file, reinterpret_cast<void*>(-1));
        EXPECT_EQ(lastError(), text[0] == 'a' ? 0u : 183u)
            << "ERROR_ALREADY_EXISTS the second time";
        Dword written = 0;
        EXPECT_TRUE(write(file, text, 2, &written, nullptr));
        EXPECT_EQ(written, 2u);
        EXPECT_TRUE(close(file));
    }
    EXPECT_EQ(folder.read("a.log"), "abcd");
    const std::string nowhere = folder.name("missing\\a.log");
    EXPECT_EQ(create(nowhere.c_str(), 4, 3, nullptr, 4, 0x80, nullptr),
              reinterpret_cast<void*>(-1));
    EXPECT_EQ(lastError(), 3u); // ERROR_PATH_NOT_FOUND
}

// ---- the keyboard ---------------------------------------------------------------------

TEST(Keyboard, HighBitWhileDownLowBitOnceAfterThePress) {
    const auto keyState = user32<std::int16_t(STDCALL*)(int)>("GetAsyncKeyState");
    platform::testing::setKeyDown(0x76, true);
    EXPECT_EQ(static_cast<std::uint16_t>(keyState(0x76)), 0x8001u);
    EXPECT_EQ(static_cast<std::uint16_t>(keyState(0x76)), 0x8000u);
    EXPECT_EQ(keyState(0x77), 0);
    platform::testing::setKeyDown(0x76, false);
    EXPECT_EQ(keyState(0x76), 0);
}

} // namespace
