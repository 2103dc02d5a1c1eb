// Hostile geometry records built in page memory next to no-access pages and
// holes: random counts, pointers into unmapped, no-access and partly
// readable memory, misaligned records and buffers, morph targets owned by
// another record, implausible material tables. The CPU buffer guard and the
// material table test never fault, say false for every record that is
// unsafe by construction, and true for every record that is sound.

#include "game/buffer_guard.h"
#include "game/host_layout.h"
#include "game/registry.h"
#include "guard_pages.h"
#include "seeded.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using fuzzdrive::Random;

// Page map of the arena: ordinary pages to build in, then the traps.
constexpr std::size_t kDataPages = 6;
constexpr std::size_t kNoAccess = kDataPages;     // PROT_NONE
constexpr std::size_t kHole = kDataPages + 1;     // unmapped
constexpr std::size_t kEdgeA = kDataPages + 2;    // readable, followed by no-access
constexpr std::size_t kEdgeB = kDataPages + 4;    // readable, followed by a hole
constexpr std::size_t kPages = kDataPages + 6;

std::uint32_t addressOf(const void* p) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

class Arena {
  public:
    Arena() : pages_(kPages) {
        ok_ = pages_.ok() && pages_.protect(kNoAccess, PROT_NONE) && pages_.unmap(kHole) &&
              pages_.protect(kEdgeA + 1, PROT_NONE) && pages_.unmap(kEdgeB + 1);
    }
    bool ok() const { return ok_; }
    std::size_t page() const { return pages_.pageSize(); }

    void clear() {
        for (std::size_t i = 0; i < kDataPages; ++i) std::memset(pages_.page(i), 0, page());
        std::memset(pages_.page(kEdgeA), 0, page());
        std::memset(pages_.page(kEdgeB), 0, page());
        next_ = 0;
        edgeAUsed_ = edgeBUsed_ = false;
    }

    // `bytes` of readable memory, possibly misaligned; null when full.
    unsigned char* take(Random& r, std::size_t bytes) {
        const std::size_t skew = r.below(4);
        const std::size_t total = kDataPages * page();
        if (next_ + skew + bytes > total) return nullptr;
        // Never across a page boundary of the data pages: they are all
        // readable, but keep placements simple to reason about.
        std::size_t at = next_ + skew;
        if (at / page() != (at + bytes - 1) / page()) at = (at / page() + 1) * page() + skew;
        if (at + bytes > total) return nullptr;
        next_ = at + bytes;
        return pages_.page(0) + at;
    }

    // `bytes` whose last byte is the last readable one before a trap, or null
    // when both edge pages are taken.
    unsigned char* atEdge(Random& r, std::size_t bytes) {
        if (bytes > page()) return nullptr;
        const bool useA = !edgeAUsed_ && (edgeBUsed_ || r.chance(2));
        if (useA) {
            edgeAUsed_ = true;
            return pages_.tail(kEdgeA, bytes);
        }
        if (edgeBUsed_) return nullptr;
        edgeBUsed_ = true;
        return pages_.tail(kEdgeB, bytes);
    }

    // A pointer to `bytes` that cannot all be read.
    const void* unreadable(Random& r, std::size_t bytes) {
        switch (r.below(4)) {
        case 0:
            return pages_.page(kNoAccess) + r.below(static_cast<std::uint32_t>(page()));
        case 1:
            return pages_.page(kHole) + r.below(static_cast<std::uint32_t>(page()));
        default: {
            // Starts readable and runs into the trap after the edge page.
            const std::size_t short_ = bytes > 1 ? 1 + r.below(static_cast<std::uint32_t>(bytes - 1)) : 0;
            if (short_ == 0) return pages_.page(kNoAccess);
            const std::size_t edge = r.chance(2) ? kEdgeA : kEdgeB;
            return pages_.page(edge) + page() - short_;
        }
        }
    }

  private:
    guardtest::Pages pages_;
    bool ok_ = false;
    std::size_t next_ = 0;
    bool edgeAUsed_ = false;
    bool edgeBUsed_ = false;
};

const void* smallInteger(Random& r) {
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(1 + r.below(0xFFFF)));
}

// Places a buffer of `bytes` and says whether it is readable by construction.
struct Placed {
    const void* pointer;
    bool readable;
};

Placed place(Random& r, Arena& arena, std::size_t bytes, bool hostile) {
    if (bytes == 0) bytes = 1;
    if (hostile) {
        switch (r.below(4)) {
        case 0:
            return {nullptr, false};
        case 1:
            return {smallInteger(r), false};
        default:
            return {arena.unreadable(r, bytes), false};
        }
    }
    if (r.chance(6)) {
        if (unsigned char* p = arena.atEdge(r, bytes)) return {p, true};
    }
    unsigned char* p = arena.take(r, bytes);
    return {p, p != nullptr};
}

std::int32_t hostileCount(Random& r, std::int32_t limit) {
    const std::int32_t values[] = {0, -1, limit + 1, INT32_MIN, INT32_MAX, -limit, 0x40000000};
    return values[r.below(sizeof values / sizeof values[0])];
}

struct Built {
    const void* record;
    std::uint32_t morphOffset;
    bool bufferSafe;   // what the CPU buffer guard must say
    bool materialSafe; // what the material table test must say
    std::string why;   // the first unsafe construction, for the failure message
};

void unsafe(Built& b, bool& flag, const char* why) {
    if (flag && b.why.empty()) b.why = why;
    flag = false;
}

Built build(Random& r, Arena& arena) {
    Built b{nullptr, 0x5C, true, true, {}};
    const std::uint32_t morphOffset = game::MorphOffsetCandidates[r.below(2)];
    b.morphOffset = r.chance(30) ? 0 : morphOffset;
    if (b.morphOffset == 0) unsafe(b, b.bufferSafe, "morph offset 0");
    const std::size_t headerBytes = morphOffset + 4;

    // Counts: mostly small and sound, now and then hostile.
    std::int32_t vertices = 1 + static_cast<std::int32_t>(r.below(40));
    std::int32_t triangles = 1 + static_cast<std::int32_t>(r.below(60));
    std::int32_t texSets = static_cast<std::int32_t>(r.below(3));
    std::int32_t morphs = 1;
    std::int32_t materials = 1 + static_cast<std::int32_t>(r.below(8));
    std::int32_t capacity = materials + static_cast<std::int32_t>(r.below(4));
    if (r.chance(12)) { vertices = r.chance(2) ? 30000 : hostileCount(r, 30000); }
    if (r.chance(12)) { triangles = r.chance(2) ? 60000 : hostileCount(r, 60000); }
    if (r.chance(12)) texSets = r.chance(3) ? 8 : hostileCount(r, 8);
    if (r.chance(16)) morphs = hostileCount(r, 1) == 0 ? 0 : 2;
    if (r.chance(12)) materials = r.chance(3) ? 128 : hostileCount(r, 128);
    if (r.chance(12)) capacity = r.chance(2) ? 4096 : hostileCount(r, 4096);
    if (vertices < 1 || vertices > 30000) unsafe(b, b.bufferSafe, "vertex count");
    if (triangles < 1 || triangles > 60000) unsafe(b, b.bufferSafe, "triangle count");
    if (texSets < 0 || texSets > 8) unsafe(b, b.bufferSafe, "texture set count");
    if (morphs != 1) unsafe(b, b.bufferSafe, "morph target count");
    if (materials < 1 || materials > 128) unsafe(b, b.materialSafe, "material count");
    if (capacity > 4096 || capacity < materials) unsafe(b, b.materialSafe, "material capacity");

    // Buffers are sized by the counts where those are sane; hostile counts
    // must be refused before any buffer is touched.
    const std::size_t v = vertices >= 1 && vertices <= 30000 ? std::size_t(vertices) : 1;
    const std::size_t t = triangles >= 1 && triangles <= 60000 ? std::size_t(triangles) : 1;

    // The header: ordinary, at the very edge of readable memory, or cut short.
    unsigned char* header = nullptr;
    std::size_t headerReadable = headerBytes;
    const std::uint32_t where = r.below(16);
    if (where == 0) {
        header = arena.atEdge(r, headerBytes);
    } else if (where == 1) {
        // Everything up to the morph pointer is readable but not the pointer.
        const std::size_t cut = game::GeometryHeaderSize + r.below(static_cast<std::uint32_t>(headerBytes - game::GeometryHeaderSize));
        header = arena.atEdge(r, cut);
        if (header != nullptr) {
            headerReadable = cut;
            unsafe(b, b.bufferSafe, "morph pointer unreadable");
        }
    }
    if (header == nullptr) header = arena.take(r, headerBytes);
    if (header == nullptr) return b;
    b.record = header;

    std::uint32_t flags = game::FormatPositions;
    const bool normalFlag = r.chance(2);
    const bool prelitFlag = r.chance(2);
    if (normalFlag) flags |= game::FormatNormals;
    if (prelitFlag) flags |= game::FormatPrelit;
    if (r.chance(20)) {
        flags |= r.chance(2) ? 0x01000000u : 0x02000000u;
        unsafe(b, b.bufferSafe, "no CPU data flag");
    }
    flags |= r.u32() & 0x00FF0000u & (r.chance(4) ? ~0u : 0u); // unrelated bits
    auto setHeader = [&](std::uint32_t offset, const void* value, std::size_t size) {
        if (offset + size <= headerReadable) std::memcpy(header + offset, value, size);
    };
    auto setWord = [&](std::uint32_t offset, std::uint32_t value) { setHeader(offset, &value, 4); };
    setWord(game::GeometryFlags, flags);
    setWord(game::GeometryTriangleCount, static_cast<std::uint32_t>(triangles));
    setWord(game::GeometryVertexCount, static_cast<std::uint32_t>(vertices));
    setWord(game::GeometryMorphTargetCount, static_cast<std::uint32_t>(morphs));
    setWord(game::GeometryTexCoordSetCount, static_cast<std::uint32_t>(texSets));
    setWord(game::GeometryMaterialCount, static_cast<std::uint32_t>(materials));
    setWord(game::GeometryMaterialCapacity, static_cast<std::uint32_t>(capacity));

    // Triangles, prelit colours and texture coordinates hang off the header.
    const Placed tri = place(r, arena, t * 8, r.chance(12));
    if (!tri.readable) unsafe(b, b.bufferSafe, "triangles");
    setWord(game::GeometryTriangles, addressOf(tri.pointer));

    Placed prelit{nullptr, true};
    if (prelitFlag || r.chance(2)) {
        prelit = place(r, arena, v * 4, r.chance(12));
        if (prelit.pointer == nullptr && !prelitFlag) prelit.readable = true; // null is allowed
    }
    if (!prelit.readable) unsafe(b, b.bufferSafe, "prelit colours");
    if (prelit.pointer == nullptr && prelitFlag) unsafe(b, b.bufferSafe, "prelit flag without colours");
    setWord(game::GeometryPrelit, addressOf(prelit.pointer));

    for (int s = 0; s < game::GeometryMaxTexCoordSets; ++s) {
        if (s < texSets) {
            const Placed uv = place(r, arena, v * 8, r.chance(16));
            if (!uv.readable) unsafe(b, b.bufferSafe, "texture coordinates");
            setWord(game::GeometryTexCoords + 4u * std::uint32_t(s), addressOf(uv.pointer));
        } else {
            // Sets beyond the count are never read: leave garbage there.
            setWord(game::GeometryTexCoords + 4u * std::uint32_t(s), r.chance(2) ? r.u32() : 0u);
        }
    }

    // The morph target with its owner link and per-vertex buffers.
    const bool morphHostile = r.chance(14);
    Placed morph = place(r, arena, game::MorphTargetSize, morphHostile);
    if (!morph.readable) unsafe(b, b.bufferSafe, "morph target");
    setWord(morphOffset, addressOf(morph.pointer));
    if (morph.readable) {
        unsigned char* m = const_cast<unsigned char*>(static_cast<const unsigned char*>(morph.pointer));
        const void* owner = header;
        if (r.chance(14)) {
            const void* others[] = {nullptr, m, header + 4, header - 1, smallInteger(r)};
            owner = others[r.below(5)];
            unsafe(b, b.bufferSafe, "morph target owned elsewhere");
        }
        game::setPointerField(m, game::MorphParent, owner);
        const Placed positions = place(r, arena, v * 12, r.chance(12));
        if (!positions.readable) unsafe(b, b.bufferSafe, "positions");
        game::setPointerField(m, game::MorphPositions, positions.pointer);
        Placed normals{nullptr, true};
        if (normalFlag || r.chance(2)) {
            normals = place(r, arena, v * 12, r.chance(12));
            if (normals.pointer == nullptr && !normalFlag) normals.readable = true;
        }
        if (!normals.readable) unsafe(b, b.bufferSafe, "normals");
        if (normals.pointer == nullptr && normalFlag) unsafe(b, b.bufferSafe, "normal flag without normals");
        game::setPointerField(m, game::MorphNormals, normals.pointer);
    }

    // The material table: a list of aligned material pointers.
    const std::size_t tableEntries = materials >= 1 && materials <= 128 ? std::size_t(materials) : 1;
    const Placed table = place(r, arena, tableEntries * 4, r.chance(12));
    if (!table.readable) unsafe(b, b.materialSafe, "material table");
    setWord(game::GeometryMaterials, addressOf(table.pointer));
    if (table.readable) {
        unsigned char* entries = const_cast<unsigned char*>(static_cast<const unsigned char*>(table.pointer));
        for (std::size_t i = 0; i < tableEntries; ++i) {
            std::uint32_t entry = addressOf(arena.take(r, 4)) & ~3u;
            if (entry == 0) entry = 0x20000u + 8u * std::uint32_t(i); // plausible, never read
            if (r.chance(40)) {
                entry = r.chance(2) ? entry | (1u + r.below(3)) : r.below(0x10000);
                unsafe(b, b.materialSafe, "material entry");
            }
            std::memcpy(entries + i * 4, &entry, 4);
        }
    }
    return b;
}

TEST(GuardFuzz, HostileRecordsAreRefusedAndSoundOnesAccepted) {
    Arena arena;
    ASSERT_TRUE(arena.ok());
    Random r = Random::fromEnvironment("guards", 977);
    const std::uint64_t rounds = fuzzdrive::iterations(150);
    std::uint64_t refused = 0, accepted = 0;
    for (std::uint64_t round = 0; round < rounds; ++round) {
        arena.clear();
        const Built b = build(r, arena);
        if (b.record == nullptr) continue;
        SCOPED_TRACE(testing::Message() << "round " << round << ", first fault: "
                                        << (b.why.empty() ? "none" : b.why));
        ASSERT_EQ(game::cpuBufferGuard(b.record, b.morphOffset), b.bufferSafe);
        // The material test reads only the 0x54-byte header, always readable here.
        ASSERT_EQ(game::materialTableSafe(b.record), b.materialSafe);
        (b.bufferSafe ? accepted : refused) += 1;
    }
    std::printf("guards: %llu records refused, %llu accepted\n",
                static_cast<unsigned long long>(refused), static_cast<unsigned long long>(accepted));
    // Both answers must actually be exercised.
    EXPECT_GT(refused, rounds / 10);
    EXPECT_GT(accepted, rounds / 10);
}

TEST(GuardFuzz, WildRecordPointersAreRefused) {
    Arena arena;
    ASSERT_TRUE(arena.ok());
    Random r = Random::fromEnvironment("wild records", 31337);
    const std::uint64_t rounds = fuzzdrive::iterations(150);
    for (std::uint64_t round = 0; round < rounds; ++round) {
        const void* p = r.chance(4) ? smallInteger(r) : arena.unreadable(r, game::GeometryHeaderSize);
        if (r.chance(8)) p = reinterpret_cast<const void*>(UINTPTR_MAX - r.below(0x100));
        ASSERT_FALSE(game::cpuBufferGuard(p, game::MorphOffsetCandidates[r.below(2)])) << p;
        ASSERT_FALSE(game::materialTableSafe(p)) << p;
    }
}

} // namespace
