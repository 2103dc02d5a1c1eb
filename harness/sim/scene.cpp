// Frames, atomics and render objects, as the engine keeps them.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/sim_state.h"

namespace sim::detail {

namespace {

constexpr std::uint32_t FrameRecordSize = FrameNameField + FrameNameSize;
constexpr std::uint32_t AtomicRecordSize = AtomicFlagsField + 4;
constexpr std::uint32_t ClumpRecordSize = 0x30;

unsigned char* zeroed(std::size_t bytes) {
    return static_cast<unsigned char*>(std::calloc(bytes, 1));
}

FrameRec* findFrame(const void* raw) {
    auto& m = state().frames;
    auto it = m.find(raw);
    return it == m.end() ? nullptr : it->second.get();
}

void freeAtomic(unsigned char* raw) {
    State& st = state();
    void* geometry = game::atomicGeometry(raw);
    if (geometry) {
        if (GeometryRec* g = findGeometry(geometry)) dropGeometry(*g);
        else ++st.accounting.badReleases;
    }
    st.atomics.erase(raw);
    std::free(raw);
}

} // namespace

// As the engine's atomic does: a reference on the new geometry, then one
// dropped from the old.
void* attachGeometry(void* atomic, void* geometry, std::uint32_t flags);

void computeLTM(const FrameRec& f, float out[16]) {
    float own[16];
    std::memcpy(own, f.raw + game::FrameModelling, sizeof own);
    if (!f.parent) {
        std::memcpy(out, own, sizeof own);
        return;
    }
    float p[16];
    computeLTM(*f.parent, p);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) {
            float v = own[4 * r] * p[c] + own[4 * r + 1] * p[4 + c] + own[4 * r + 2] * p[8 + c];
            if (r == 3) v += p[12 + c];
            out[4 * r + c] = v;
        }
        out[4 * r + 3] = own[4 * r + 3];
    }
}

unsigned char* newFrame(const char* name, unsigned char* parent, const float modelling[16]) {
    auto rec = std::make_unique<FrameRec>();
    rec->raw = zeroed(FrameRecordSize);
    rec->parent = parent ? findFrame(parent) : nullptr;
    rec->root = rec->parent ? rec->parent->root : rec->raw;
    rec->raw[0] = 0; // the engine's object type of a frame
    game::setPointerField(rec->raw, game::FrameParent, rec->parent ? rec->parent->raw : nullptr);
    std::memcpy(rec->raw + game::FrameModelling, modelling, 64);
    std::snprintf(reinterpret_cast<char*>(rec->raw + FrameNameField), FrameNameSize,
                  "%s", name ? name : "");
    unsigned char* raw = rec->raw;
    state().framesUnder[rec->root].push_back(raw);
    state().frames.emplace(raw, std::move(rec));
    return raw;
}

unsigned char* newAtomic(unsigned char* frame, unsigned char* geometry, std::uint32_t flags) {
    auto rec = std::make_unique<AtomicRec>();
    rec->raw = zeroed(AtomicRecordSize);
    rec->raw[0] = 1; // the engine's object type of an atomic
    game::setPointerField(rec->raw, game::AtomicFrame, frame);
    game::setField<std::uint32_t>(rec->raw, AtomicFlagsField, flags);
    // As the game sets a vehicle up: a part's damaged variant is not drawn
    // until its damage shows it.
    if ((flags & 3u) != 2u) rec->raw[game::AtomicObjectFlags] = game::AtomicRendered;
    unsigned char* raw = rec->raw;
    state().atomics.emplace(raw, std::move(rec));
    if (geometry) attachGeometry(raw, geometry, 0);
    return raw;
}

unsigned char* newClump(unsigned char* rootFrame) {
    auto rec = std::make_unique<ClumpRec>();
    rec->raw = zeroed(ClumpRecordSize);
    rec->raw[0] = 2; // the engine's object type of a clump
    game::setPointerField(rec->raw, game::RenderObjectFrame, rootFrame);
    unsigned char* raw = rec->raw;
    state().clumps.emplace(raw, std::move(rec));
    return raw;
}

void destroyClump(unsigned char* clump) {
    State& st = state();
    auto it = st.clumps.find(clump);
    if (it == st.clumps.end()) {
        ++st.accounting.invalidCalls;
        return;
    }
    std::unique_ptr<ClumpRec> c = std::move(it->second);
    st.clumps.erase(it);
    for (unsigned char* a : c->atomics)
        if (st.atomics.count(a)) freeAtomic(a);
    // Every frame of the clump's tree goes with it.
    unsigned char* root = game::renderObjectFrame(c->raw) ? static_cast<unsigned char*>(game::renderObjectFrame(c->raw)) : nullptr;
    auto tree = root ? st.framesUnder.find(root) : st.framesUnder.end();
    if (tree != st.framesUnder.end()) {
        for (unsigned char* f : tree->second) {
            st.frames.erase(f);
            std::free(f);
        }
        st.framesUnder.erase(tree);
    }
    std::free(c->raw);
}

// ---- host calls -----------------------------------------------------------------

void* BW_CDECL atomicsImpl(void* renderObject, game::AtomicCallback callback, void* data) {
    if (failThisUse(HostCall::Atomics)) return nullptr;
    State& st = state();
    auto it = st.clumps.find(renderObject);
    if (it == st.clumps.end() || !callback) {
        ++st.accounting.invalidCalls;
        return nullptr;
    }
    const std::vector<unsigned char*> list = it->second->atomics;
    for (unsigned char* a : list)
        if (!callback(a, data)) break;
    return renderObject;
}

void* attachGeometry(void* atomic, void* geometry, std::uint32_t flags) {
    State& st = state();
    if (!st.atomics.count(atomic)) {
        ++st.accounting.invalidCalls;
        return nullptr;
    }
    GeometryRec* next = nullptr;
    if (geometry) {
        next = findGeometry(geometry);
        if (!next) {
            ++st.accounting.badReleases;
            return nullptr;
        }
    }
    void* old = game::atomicGeometry(atomic);
    if (old == geometry) return atomic;
    if (next) {
        game::setField<std::int16_t>(next->raw, game::GeometryRefCount,
                                     static_cast<std::int16_t>(game::geometryRefCount(next->raw) + 1));
    }
    if (old) {
        if (GeometryRec* g = findGeometry(old)) dropGeometry(*g);
        else ++st.accounting.badReleases;
    }
    game::setPointerField(atomic, game::AtomicGeometry, geometry);
    // Unless told the sphere is the same, the atomic takes the geometry's.
    if (next && (flags & 1) == 0)
        std::memcpy(static_cast<unsigned char*>(atomic) + game::AtomicBoundingSphere,
                    next->morph + game::MorphBoundingSphere, 16);
    return atomic;
}

void* BW_CDECL setGeometryImpl(void* atomic, void* geometry, std::uint32_t flags) {
    if (failThisUse(HostCall::SetGeometry)) return nullptr;
    return attachGeometry(atomic, geometry, flags);
}

void* BW_CDECL frameLTMImpl(void* frame) {
    if (failThisUse(HostCall::FrameLTM)) return nullptr;
    FrameRec* f = findFrame(frame);
    if (!f) {
        ++state().accounting.invalidCalls;
        return nullptr;
    }
    float m[16];
    computeLTM(*f, m);
    std::memcpy(f->raw + game::FrameWorld, m, sizeof m);
    return f->raw + game::FrameWorld;
}

const char* BW_CDECL frameNameImpl(void* frame) {
    if (failThisUse(HostCall::FrameName)) return nullptr;
    FrameRec* f = findFrame(frame);
    if (!f) {
        ++state().accounting.invalidCalls;
        return nullptr;
    }
    return reinterpret_cast<const char*>(f->raw + FrameNameField);
}

std::uint32_t BW_CDECL atomicFlagsImpl(void* atomic) {
    if (failThisUse(HostCall::AtomicFlags)) return 0;
    State& st = state();
    if (!st.atomics.count(atomic)) {
        ++st.accounting.invalidCalls;
        return 0;
    }
    return game::field<std::uint32_t>(atomic, AtomicFlagsField);
}

} // namespace sim::detail
