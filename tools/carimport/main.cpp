// bw_carimport MESH MAP OUT: converts a mesh file and its part map into a car
// file for the substitute host, and says what each part holds. OUT is never
// one of the inputs, and it is written through a temporary file beside it
// and a rename, so a failed import leaves an earlier OUT whole.

#include "carimport/import.h"
#include "one_line_failure.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Whether `out` names the same file as `input`, by any path or link.
bool sameFile(const char* out, const char* input) {
    struct stat a {};
    struct stat b {};
    return ::stat(out, &a) == 0 && ::stat(input, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool writeThroughRename(const std::string& out, const carfile::Car& car, std::string& error) {
    std::string temporary = out + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = temporary + ": cannot be created (" + std::strerror(errno) + ")";
        return false;
    }
    // The permissions an ordinary new file would get, not mkstemp's private ones.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    if (!carfile::writeCar(temporary, car, error)) {
        ::unlink(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), out.c_str()) != 0) {
        error = out + ": cannot be written (" + std::strerror(errno) + ")";
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

int run(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bw_carimport MESH MAP OUT.bwcar\n");
        return 2;
    }
    const char* out = argv[3];
    for (int input = 1; input <= 2; ++input)
        if (sameFile(out, argv[input])) {
            std::fprintf(stderr, "bw_carimport: %s is the input %s; choose another output\n", out,
                         argv[input]);
            return 2;
        }
    struct stat st {};
    if (::stat(out, &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "bw_carimport: %s is a folder; name the car file to write\n", out);
        return 2;
    }
    std::string error;
    carimport::PartMap map;
    carimport::ImportResult result;
    if (!carimport::readPartMap(argv[2], map, error) ||
        !carimport::importCar(argv[1], map, result, error) ||
        !writeThroughRename(out, result.car, error)) {
        std::fprintf(stderr, "bw_carimport: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& warning : result.warnings)
        std::fprintf(stderr, "bw_carimport: warning: %s\n", warning.c_str());
    std::uint32_t vertices = 0, triangles = 0;
    for (const carimport::PartSummary& p : result.parts) {
        std::printf("%-32s %6u vertices %6u triangles\n", p.path.c_str(), p.vertices, p.triangles);
        vertices += p.vertices;
        triangles += p.triangles;
    }
    std::printf("%s: %zu atomics, %u vertices, %u triangles, %zu textures, %u source triangles "
                "left out\n",
                out, result.parts.size(), vertices, triangles, result.car.textures.size(),
                result.leftOut);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runWithOneLineFailure("bw_carimport", [&] { return run(argc, argv); });
}
