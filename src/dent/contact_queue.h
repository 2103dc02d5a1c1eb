#pragma once

#include "impact.h"
#include "vec.h"

#include <cstddef>
#include <cstdint>

namespace dent {

// The contacts of one frame, at most one per vehicle: the strongest, in the
// order in which vehicles first arrived. Fixed storage, so that adding from
// inside the host's collision response never allocates. Emptied by reset()
// once per frame; entries are never removed one by one.
template <std::size_t Capacity> struct ContactQueue {
    static_assert(Capacity > 0 && Capacity <= UINT32_MAX, "capacity must fit the counters");

    Contact entries[Capacity]; // 0 .. count - 1 in use
    std::uint32_t count = 0;   // entries in use
    std::uint32_t dropped = 0; // distinct vehicles refused since reset() for lack of room

    // Keeps `contact` unless it is invalid (null identity, non-finite point or
    // normal, impulse not positive finite, normal shorter than 0.01) or the
    // queue is full of other vehicles (counted in `dropped`). A stored entry
    // of the same vehicle is replaced by a stronger contact, and always when
    // the handle or render object changed: the slot then belongs to whatever
    // now lives at that address. Returns false only when refused.
    bool add(Contact contact) {
        if (contact.vehicle == nullptr || contact.renderObject == nullptr) return false;
        if (!isFinite(contact.point) || !isFinite(contact.normal)) return false;
        if (!isPositiveFinite(contact.impulse)) return false;
        if (!(length(contact.normal) >= 0.01f)) return false;

        const std::uint32_t used = inUse();
        for (std::uint32_t i = 0; i < used; ++i) {
            Contact& stored = entries[i];
            if (stored.vehicle != contact.vehicle) continue;
            const bool sameIdentity =
                stored.handle == contact.handle && stored.renderObject == contact.renderObject;
            if (sameIdentity && !(contact.impulse > stored.impulse)) return true;
            stored = contact;
            return true;
        }
        if (used >= Capacity) {
            // Saturate so that the frame's "queue was full" test cannot wrap back to 0.
            if (dropped != UINT32_MAX) ++dropped;
            return false;
        }
        entries[used] = contact;
        count = used + 1;
        return true;
    }

    void reset() {
        count = 0;
        dropped = 0;
    }

    // The first entry whose vehicle, handle and render object all match, or
    // null. There is at most one per vehicle.
    const Contact* find(const void* vehicle, std::int32_t handle, const void* renderObject) const {
        const std::uint32_t used = inUse();
        for (std::uint32_t i = 0; i < used; ++i) {
            const Contact& c = entries[i];
            if (c.vehicle == vehicle && c.handle == handle && c.renderObject == renderObject)
                return &c;
        }
        return nullptr;
    }

    // True when an entry is for `vehicle`, whatever its handle and render
    // object: a test that needs nothing read from the host.
    bool holds(const void* vehicle) const {
        const std::uint32_t used = inUse();
        for (std::uint32_t i = 0; i < used; ++i)
            if (entries[i].vehicle == vehicle) return true;
        return false;
    }

  private:
    // `count` is a public field; never trust it beyond the array.
    std::uint32_t inUse() const {
        return count < Capacity ? count : static_cast<std::uint32_t>(Capacity);
    }
};

} // namespace dent
