#include "source_images.h"

#include "game/host_layout.h"
#include "sim/sim_state.h"

#include <cstring>

namespace soak {

namespace {

// Calls `piece(bytes, size)` for everything a source holds that the plug-in
// could write: its vertex count, the positions and normals of its morph
// target, announced by each candidate offset that holds it (so a pointer that
// appears or goes away changes the sequence), the surface properties where
// the layout has them, and its triangles. Only the host's own morph target is
// followed: in one layout the other candidate holds floats, not a pointer.
template <class Piece> void forEachPiece(void* g, Piece piece) {
    const std::int32_t n = game::vertexCount(g);
    if (!piece(&n, sizeof n)) return;
    const auto bytes = 12u * static_cast<std::uint32_t>(n < 0 ? 0 : n);
    const sim::detail::GeometryRec* rec = sim::detail::findGeometry(g);
    void* const morph = rec != nullptr ? rec->morph : nullptr;
    for (const std::uint32_t offset : game::MorphOffsetCandidates) {
        if (morph == nullptr || game::morphTarget(g, offset) != morph) continue;
        if (!piece(&offset, sizeof offset)) return;
        if (const void* p = game::morphPositions(morph))
            if (!piece(p, bytes)) return;
        if (const void* p = game::morphNormals(morph))
            if (!piece(p, bytes)) return;
    }
    if (morph != nullptr && game::morphTarget(g, game::MorphOffsetAt68) == morph &&
        game::morphTarget(g, game::MorphOffsetAt5C) != morph)
        if (!piece(game::bytesAt(g, game::GeometrySurfaceProperties),
                   sizeof(game::SurfaceProperties)))
            return;
    const std::int32_t t = game::triangleCount(g);
    if (const void* p = game::triangles(g))
        piece(p, 8u * static_cast<std::uint32_t>(t < 0 ? 0 : t));
}

std::uint64_t shape(void* g) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(game::vertexCount(g))) << 32) |
           static_cast<std::uint32_t>(game::triangleCount(g));
}

} // namespace

SourceImages::Image SourceImages::capture(void* g) const {
    Image image;
    forEachPiece(g, [&](const void* p, std::size_t size) {
        // Resized, then copied: GCC 12 misreads an insert of a byte range
        // into a vector that may still be empty as an overflow.
        const std::size_t at = image.size();
        image.resize(at + size);
        if (size != 0) std::memcpy(image.data() + at, p, size);
        return true;
    });
    return image;
}

bool SourceImages::matches(void* g, const Image& image) const {
    std::size_t at = 0;
    bool same = true;
    forEachPiece(g, [&](const void* p, std::size_t size) {
        same = size <= image.size() - at && std::memcmp(image.data() + at, p, size) == 0;
        at += size;
        return same;
    });
    return same && at == image.size();
}

void SourceImages::remember(void* g) {
    std::vector<std::uint32_t>& alike = byShape_[shape(g)];
    for (const std::uint32_t i : alike)
        if (matches(g, images_[i])) {
            imageOf_[g] = i;
            return;
        }
    images_.push_back(capture(g));
    alike.push_back(static_cast<std::uint32_t>(images_.size() - 1));
    imageOf_[g] = alike.back();
}

bool SourceImages::forget(void* g) {
    return imageOf_.erase(g) != 0;
}

bool SourceImages::unchanged(void* g) const {
    const auto it = imageOf_.find(g);
    return it == imageOf_.end() || matches(g, images_[it->second]);
}

} // namespace soak
