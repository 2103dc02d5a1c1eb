// The tests' scratch folders go away with their files. A 32-bit build without
// 64-bit file offsets failed to list them (EOVERFLOW) and left every one in
// the temporary folder.

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

TEST(ScratchDir, IsRemovedWithItsFiles) {
    std::string folder;
    {
        bwtest::ScratchDir dir;
        const std::string first = dir.write("a.ini", "[General]\n");
        dir.write("b.log", "line\r\n");
        folder = first.substr(0, first.rfind('/'));
        ASSERT_TRUE(exists(first));
        ASSERT_FALSE(folder.empty());
    }
    EXPECT_FALSE(exists(folder));
}

} // namespace
