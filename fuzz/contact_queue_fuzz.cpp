// The per-frame contact queue driven by random adds, resets and finds and
// compared with a plain model: at most one entry per vehicle, never more
// than the capacity, the strongest contact kept whole, refusals counted.

#include "dent/contact_queue.h"
#include "fuzz_input.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kCapacity = 6;

const void* identity(std::uint8_t k) {
    // Identities only: never dereferenced. 0 stands for null.
    return k == 0 ? nullptr : reinterpret_cast<const void*>(std::uintptr_t(k) * 16u);
}

bool valid(const dent::Contact& c) {
    return c.vehicle != nullptr && c.renderObject != nullptr && dent::isFinite(c.point) &&
           dent::isFinite(c.normal) && std::isfinite(c.impulse) && c.impulse > 0.0f &&
           dent::length(c.normal) >= 0.01f;
}

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The stored contact is the one kept, whole: its response travels with it.
bool sameContact(const dent::Contact& a, const dent::Contact& b) {
    return a.vehicle == b.vehicle && a.handle == b.handle && a.renderObject == b.renderObject &&
           a.impulse == b.impulse && a.piece == b.piece &&
           sameBits(a.response.impact, b.response.impact) &&
           sameBits(a.response.depth, b.response.depth) &&
           sameBits(a.response.radius, b.response.radius);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    dent::ContactQueue<kCapacity> queue;
    std::vector<dent::Contact> model;
    std::uint32_t dropped = 0;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        if (op % 16 == 0) {
            queue.reset();
            model.clear();
            dropped = 0;
        } else if (op % 16 == 1) {
            const void* vehicle = identity(in.below(10));
            const std::int32_t handle = std::int32_t(in.below(3));
            const void* ro = identity(in.below(3));
            const dent::Contact* found = queue.find(vehicle, handle, ro);
            const dent::Contact* expected = nullptr;
            for (const dent::Contact& c : model)
                if (c.vehicle == vehicle && c.handle == handle && c.renderObject == ro) expected = &c;
            FUZZ_CHECK((found == nullptr) == (expected == nullptr));
            bool held = false;
            for (const dent::Contact& c : model) held = held || c.vehicle == vehicle;
            FUZZ_CHECK(queue.holds(vehicle) == held);
            if (found) FUZZ_CHECK(sameContact(*found, *expected));
        } else {
            dent::Contact c{};
            c.vehicle = identity(in.below(10));
            c.handle = std::int32_t(in.below(3));
            c.renderObject = identity(in.below(3));
            c.point = (op & 32) ? in.anyVec() : in.scaledVec();
            c.normal = (op & 64) ? in.anyVec() : in.scaledVec();
            c.impulse = in.anyFloat();
            c.piece = in.byte();
            c.response = {in.anyFloat(), in.anyFloat(), in.anyFloat()};

            bool expectedResult = valid(c);
            if (expectedResult) {
                bool seen = false;
                for (dent::Contact& m : model) {
                    if (m.vehicle != c.vehicle) continue;
                    seen = true;
                    const bool same = m.handle == c.handle && m.renderObject == c.renderObject;
                    if (!same || c.impulse > m.impulse) m = c;
                }
                if (!seen) {
                    if (model.size() < kCapacity) {
                        model.push_back(c);
                    } else {
                        expectedResult = false;
                        ++dropped;
                    }
                }
            }
            FUZZ_CHECK(queue.add(c) == expectedResult);
        }
        FUZZ_CHECK(queue.count <= kCapacity);
        FUZZ_CHECK(queue.count == model.size());
        FUZZ_CHECK(queue.dropped == dropped);
        for (std::uint32_t i = 0; i < queue.count; ++i) {
            const dent::Contact& e = queue.entries[i];
            FUZZ_CHECK(sameContact(e, model[i]));
            FUZZ_CHECK(valid(e));
            for (std::uint32_t j = 0; j < i; ++j) FUZZ_CHECK(queue.entries[j].vehicle != e.vehicle);
        }
    }
    return 0;
}
