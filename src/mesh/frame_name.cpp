#include "mesh/frame_name.h"

#include <cctype>

namespace mesh {

LowerFrameName::LowerFrameName(const char* name) {
    std::size_t n = 0;
    if (name != nullptr) {
        while (n < kMaxFrameNameBytes && name[n] != '\0') {
            text[n] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[n])));
            ++n;
        }
    }
    text[n] = '\0';
}

} // namespace mesh
