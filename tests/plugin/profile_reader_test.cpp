// The POSIX settings-file reader against what the Win32 profile functions
// return for the same files.

#include "platform/platform.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

std::string readString(const char* section, const char* key, const std::string& path,
                       const char* def = "", std::size_t size = 80) {
    char out[256];
    platform::profileString(section, key, def, out, size, path.c_str());
    return out;
}

TEST(ProfileReader, ReadsValuesAsTheSystemReaderDoes) {
    bwtest::ScratchDir dir;
    const std::string path = dir.write("s.ini",
                                       "[S]\n"
                                       "MinImpact =  0.2 ; c\n"
                                       "a=abc\n"
                                       "b= 12abc \n"
                                       "c=+5\n"
                                       "f=  -7\n"
                                       "d=0x10\n"
                                       "e=\n"
                                       "g=99999999999\n"
                                       "h=\"q\"\n"
                                       "i=1e3\n"
                                       "j=4\n"
                                       "dup=1\n"
                                       "dup=2\n");
    struct Case {
        const char* section;
        const char* key;
        const char* text;
        std::uint32_t integer;
    } cases[] = {
        {"S", "MinImpact", "0.2 ; c", 0},
        {"S", "a", "abc", 0},
        {"S", "b", "12abc", 12},
        {"S", "c", "+5", 5},
        {"S", "f", "-7", 4294967289u},
        {"S", "d", "0x10", 16},
        {"S", "e", "", 77},
        {"S", "g", "99999999999", 1215752191u},
        {"S", "h", "q", 0},
        {"S", "i", "1e3", 1},
        {"s", "J", "4", 4},
        {"S", "dup", "1", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(readString(c.section, c.key, path), c.text);
        if (std::string(c.key) != "MinImpact") {
            EXPECT_EQ(platform::profileInt(c.section, c.key, 77, path.c_str()), c.integer);
        }
    }
}

TEST(ProfileReader, MissingFileSectionOrKeyGivesTheDefault) {
    bwtest::ScratchDir dir;
    const std::string path = dir.write("s.ini",
                                       "top=1\n"       // before any section: in none
                                       "[S]\n"
                                       "bare\n"        // no '=': no value
                                       "[Other]\n"
                                       "k=2\n"
                                       "[S]\n"
                                       "late=3\n");    // a second [S] is never searched
    const std::string missing = dir.file("absent.ini");
    struct Case {
        const char* section;
        const char* key;
        const std::string& file;
    } cases[] = {
        {"S", "k", missing}, {"Nope", "k", path}, {"S", "k", path},
        {"S", "top", path},  {"S", "bare", path}, {"S", "late", path},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(readString(c.section, c.key, c.file, "dflt  "), "dflt"); // trailing blanks dropped
        EXPECT_EQ(platform::profileInt(c.section, c.key, 77, c.file.c_str()), 77u);
    }
    EXPECT_EQ(readString("OTHER", "K", path), "2");
}

TEST(ProfileReader, LineEndsQuotesAndOddLines) {
    bwtest::ScratchDir dir;
    std::string longValue(5000, '7');
    const std::string path = dir.write("s.ini",
                                       "\xEF\xBB\xBF[S] trailing text\r\n"
                                       "crlf=1\r\n"
                                       "cr=2\rsingle='x y'\r"
                                       "  spaced key  =  v  \n"
                                       "lone=\"\n"
                                       "mixed=\"ab'\n"
                                       "[broken\n"
                                       "after=5\n"
                                       "long=" + longValue + "\n"
                                       "nul=a" + std::string(1, '\0') + "b\n"
                                       "bin=\x01\x02\xff\n"
                                       "z=\x1a" "9\x1a\n");
    struct Case {
        const char* key;
        const char* text;
    } cases[] = {
        {"crlf", "1"},  {"cr", "2"},   {"single", "x y"}, {"spaced key", "v"}, {"lone", "\""},
        {"mixed", "\"ab'"}, {"after", "5"}, {"nul", "a"}, {"bin", "\x01\x02\xff"}, {"z", "9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(readString("S", c.key, path), c.text);
    }
    // Cut to the buffer, always terminated.
    EXPECT_EQ(readString("S", "long", path), longValue.substr(0, 79));
    EXPECT_EQ(readString("S", "crlf", path, "", 1), "");
    // Integers go through a 30-character buffer.
    std::uint32_t first29 = 0;
    for (int i = 0; i < 29; ++i) first29 = first29 * 10 + 7; // wraps modulo 2^32
    EXPECT_EQ(platform::profileInt("S", "long", 77, path.c_str()), first29);
}

TEST(ProfileReader, IntegerPrefixesAndSigns) {
    bwtest::ScratchDir dir;
    const std::string path = dir.write("s.ini", "[S]\nb=0b101\no=0o17\nX=0X10\nneg=-0x10\nz=0x\nws=+ 5\n");
    struct Case {
        const char* key;
        std::uint32_t value;
    } cases[] = {{"b", 5}, {"o", 15}, {"X", 0}, {"neg", 0xFFFFFFF0u}, {"z", 0}, {"ws", 0}};
    for (const Case& c : cases) EXPECT_EQ(platform::profileInt("S", c.key, 77, path.c_str()), c.value) << c.key;
}

} // namespace
