#include "harness_internal.h"

#include "game/frame_state.h"
#include "game/host_layout.h"
#include "game/registry.h"
#include "mesh/deform_atomic.h"
#include "mesh/vertex_budget.h"
#include "plugin/settings.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace soak {

namespace {

// The value paired with `key` in a list sorted by key, or null.
template <class Value>
Value* lookUp(const std::vector<std::pair<const void*, Value*>>& sorted, const void* key) {
    const auto it = std::lower_bound(sorted.begin(), sorted.end(),
                                     std::pair<const void*, Value*>{key, nullptr});
    return it != sorted.end() && it->first == key ? it->second : nullptr;
}

// The vertex checks work on the bits where they can: under the emulator every
// floating-point operation is a call. A float is finite unless its exponent
// bits are all ones.
std::uint32_t bits(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}
bool finite(float f) {
    return (bits(f) & 0x7F800000u) != 0x7F800000u;
}
bool finite(const dent::Vec& v) {
    return finite(v.x) && finite(v.y) && finite(v.z);
}
bool sameBits(const dent::Vec& a, const dent::Vec& b) {
    return bits(a.x) == bits(b.x) && bits(a.y) == bits(b.y) && bits(a.z) == bits(b.z);
}

} // namespace

// ---- the session's checks ------------------------------------------------------------------

void Session::checkInvariants() {
    SpendScope checks(Spend::Checks);
    const plugin::Settings& s = plugin::settings();
    const sim::Accounting a = host_->accounting();
    if (a.badReleases || a.unsafeReleases || a.invalidCalls)
        violation(f_, "host accounting: bad releases " + std::to_string(a.badReleases) +
                          ", unsafe " + std::to_string(a.unsafeReleases) + ", invalid calls " +
                          std::to_string(a.invalidCalls));
    // The vertex-level checks are the costly ones: they cover the vehicles
    // struck in this frame, every vehicle in turn once in 16 frames, and all
    // of them at the restart and the shutdown. The atomics of the session's
    // cars are checked every frame below; the host-wide walk covers any other.
    const bool all = deepAll_;
    const auto inTurn = [&](std::size_t index) { return (index + frameNumber_) % 16 == 0; };
    if ((all || frameNumber_ % 32 == 0) && !host_->atomicsOnLiveGeometries())
        violation(f_, "an atomic draws a freed geometry");

    game::Registry* r = game::registry();
    if (r == nullptr) return;
    if (r->records.size() > s.maxTrackedVehicles)
        violation(f_, "registry holds " + std::to_string(r->records.size()) + " records");

    // Every copy belongs to exactly one mesh reference of one record.
    owners_.clear();
    records_.clear();
    std::uint64_t total = 0;
    const float limit = s.maxTotalDisplacement * 1.0001f + 1e-4f;
    // Only a vertex this far out needs its exact distance.
    const float nearLimitSquared = limit * limit * 0.99f;
    std::size_t index = 0;
    for (const auto& rec : r->records) {
        records_.push_back({rec->vehicle, rec.get()});
        const bool deep = inTurn(index++) || all || touched_.count(rec->vehicle) != 0;
        std::uint64_t vertices = 0;
        for (const auto& ref : rec->meshReferences) {
            void* copy = ref->copyGeometry;
            if (copy == nullptr) continue;
            owners_.push_back({copy, rec.get()});
            if (!host_->isLiveGeometry(copy)) {
                violation(f_, "a mesh reference holds a freed copy");
                continue;
            }
            if (copy == ref->sourceGeometry) violation(f_, "a source geometry is held as a copy");
            if (ref->sourceGeometry != nullptr && !host_->isLiveGeometry(ref->sourceGeometry))
                violation(f_, "a mesh reference holds a freed source");
            const std::int32_t n = game::vertexCount(copy);
            vertices += static_cast<std::uint32_t>(n);
            if (!deep) continue;
            if (ref->rest.size() != static_cast<std::size_t>(n)) {
                violation(f_, "rest positions do not match the copy");
                continue;
            }
            void* morph = game::morphTarget(copy, game::morphOffset);
            const auto* p =
                morph ? static_cast<const dent::Vec*>(game::morphPositions(morph)) : nullptr;
            const auto* nn =
                morph ? static_cast<const dent::Vec*>(game::morphNormals(morph)) : nullptr;
            if (p == nullptr) {
                violation(f_, "a copy without positions");
                continue;
            }
            for (std::int32_t i = 0; i < n; ++i) {
                if (!finite(p[i]) || (nn != nullptr && !finite(nn[i]))) {
                    violation(f_, "a non-finite position or normal");
                    break;
                }
                // A folding panel moves along its lattice, not from its rest.
                if (ref->panel.kind != 0) continue;
                // Most vertices of a copy are where they rest.
                if (sameBits(p[i], ref->rest[static_cast<std::size_t>(i)])) continue;
                const dent::Vec moved = p[i] - ref->rest[static_cast<std::size_t>(i)];
                if (dent::dot(moved, moved) > nearLimitSquared && dent::length(moved) > limit) {
                    violation(f_, "a vertex moved " +
                                      std::to_string(dent::length(
                                          p[i] - ref->rest[static_cast<std::size_t>(i)])) +
                                      " from its rest");
                    break;
                }
            }
        }
        // A hidden part variant is held against the budgets before it is
        // copied, and is copied in the frame the game shows it.
        // Its atomics are read only while its car lives (asked of the host
        // model directly: the plug-in's host calls may be failing on purpose).
        const bool live = host_->handleOf(rec->vehicle) == rec->handle &&
                          game::renderObject(rec->vehicle) == rec->renderObject;
        // A frame the game held (or a shutdown) leaves the plug-in no work.
        const bool worked = !game::shuttingDown && game::vehiclePool() != nullptr &&
                            game::engineInstance() != nullptr &&
                            ((game::holdFlagA() | game::holdFlagB()) & 1u) == 0;
        for (const game::HiddenVariant& h : rec->hidden) {
            vertices += h.reservedVertices;
            if (live && worked && game::atomicRendered(h.atomic) &&
                game::atomicGeometry(h.atomic) == h.geometry)
                violation(f_, "a variant the game shows is drawn undented");
        }
        if (vertices != rec->copiedVertexTotal)
            violation(f_, "copied vertex total " + std::to_string(rec->copiedVertexTotal) +
                              " but copies hold " + std::to_string(vertices));
        if (vertices > mesh::kMaxVehicleVertices) violation(f_, "a vehicle over its vertex limit");
        total += vertices;
    }
    if (total > s.maxTotalVertices)
        violation(f_, "copied vertices " + std::to_string(total) + " over the budget");
    std::sort(owners_.begin(), owners_.end());
    for (std::size_t i = 1; i < owners_.size(); ++i)
        if (owners_[i].first == owners_[i - 1].first) violation(f_, "a copy is owned twice");
    std::sort(records_.begin(), records_.end());

    // A source can only die by being freed: while the host frees nothing,
    // every source alive at the last check still is.
    const bool anyFreed = a.geometriesFreed != freedAtLastCheck_;
    freedAtLastCheck_ = a.geometriesFreed;
    // Every atomic draws its source or a copy of its own vehicle's record;
    // the sources read by this frame's work are unchanged.
    std::size_t carIndex = 0;
    for (auto& [vehicle, car] : cars_) {
        const game::TrackedVehicle* rec = lookUp(records_, vehicle);
        const bool deep = inTurn(carIndex++) || all || touched_.count(vehicle) != 0;
        for (Atomic& at : car.atomics) {
            // A source the plug-in had to let go after a fault (its atomic
            // kept a copy) is gone for good; its address may come back.
            if (anyFreed && at.source != nullptr && !host_->isLiveGeometry(at.source)) {
                sources_.forget(at.source);
                at.source = nullptr;
            }
            void* g = game::atomicGeometry(at.atomic);
            if (g != at.source && g != nullptr && !host_->isLiveGeometry(g))
                violation(f_, "an atomic draws a freed geometry");
            if (g != at.source) {
                const game::TrackedVehicle* owner = lookUp(owners_, g);
                // After an injected fault the plug-in may let go of a copy it
                // could not take off (the walk or the identity test failed):
                // the atomic keeps it alive, and the host frees it with the
                // atomic (the leak check at the end holds that to account).
                if (owner == nullptr) {
                    if (g_injected == 0 && !pluginAllocationFailed())
                        violation(f_, "an atomic draws a geometry no record owns");
                } else if (owner != rec)
                    violation(f_, "an atomic draws another vehicle's copy");
            }
            if (deep && at.source != nullptr && !sources_.unchanged(at.source))
                violation(f_, "a source geometry changed");
        }
    }
}

void Session::checkReleased(const char* when) {
    deepAll_ = true;
    checkInvariants();
    deepAll_ = false;
    checkAllOnSources(when);
}

void Session::checkAllOnSources(const char* when) {
    for (const auto& [vehicle, car] : cars_)
        for (const Atomic& at : car.atomics)
            if (at.source != nullptr && game::atomicGeometry(at.atomic) != at.source) {
                violation(f_, std::string("an atomic is not on its source ") + when);
                return;
            }
}

} // namespace soak
