#include "mesh/atomic_reads.h"

#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/readable_range.h"

namespace mesh {

namespace {
constexpr std::size_t kAtomicFieldsSpan = game::AtomicGeometry + sizeof(std::uint32_t);
}

const dent::Vec* positionsOf(const void* geometry) {
    const void* morph = game::morphTarget(geometry, game::morphOffset);
    return morph != nullptr ? static_cast<const dent::Vec*>(game::morphPositions(morph)) : nullptr;
}

bool withinReach(const dent::Vec* points, std::int32_t count, dent::Vec centre, float radius) {
    for (std::int32_t i = 0; i < count; ++i) {
        if (dent::length(points[i] - centre) < radius) return true;
    }
    return false;
}

bool shown(void* atomic) {
    return game::readableRange(game::bytesAt(atomic, game::AtomicObjectFlags), 1) &&
           game::atomicRendered(atomic);
}

bool stillOn(void* atomic, void* geometry) {
    return game::readableRange(atomic, kAtomicFieldsSpan) &&
           game::atomicGeometry(atomic) == geometry;
}

} // namespace mesh
