#include "game/contact_capture.h"

#include "sim/sim_state.h"
#include "sim_fixture.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

using guardtest::SimTest;

// The two collision responses lead to the detours the way an inline hook
// makes them: a jump at the host function's entry, and the host's own code
// (here the substitute's implementation behind its stub) as the original.
class ContactCapture : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::HostOptions options;
        options.poolSlots = 300;
        startHost(options);
        jumpTo(game::addr::PairContact, reinterpret_cast<void*>(&game::pairContactDetour));
        jumpTo(game::addr::SingleContact, reinterpret_cast<void*>(&game::singleContactDetour));
        game::pairContactOriginal = &sim::detail::pairContactImpl;
        game::singleContactOriginal = &sim::detail::singleContactImpl;
        game::captureOpen = 1;
    }
    void TearDown() override {
        game::pairContactOriginal = nullptr;
        game::singleContactOriginal = nullptr;
        SimTest::TearDown();
    }

    void jumpTo(game::Address at, void* detour) {
        std::uint8_t jump[5] = {0xE9};
        const std::uint32_t rel = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(detour)) -
                                  (at + 5u);
        std::memcpy(jump + 1, &rel, 4);
        host->patchCode(at, jump, sizeof jump);
    }

    // A vehicle with a render object but no mesh, so hundreds stay cheap.
    void* bareVehicle(sim::VehicleDesc desc = {}) {
        desc.buildCar = false;
        void* v = host->addVehicle(desc);
        void* root = host->createFrame("chassis_dummy", nullptr);
        game::setPointerField(v, game::EntityRenderObject, host->createRenderObject(root));
        return v;
    }

    static sim::ColPoint colPoint(dent::Vec p, dent::Vec n, std::uint8_t pieceA = 5,
                                  std::uint8_t pieceB = 7) {
        sim::ColPoint c{};
        c.point = p;
        c.normal = n;
        c.pieceA = pieceA;
        c.pieceB = pieceB;
        return c;
    }

    const dent::Contact* queued(void* vehicle) const {
        for (std::uint32_t i = 0; i < game::contactQueue.count; ++i)
            if (game::contactQueue.entries[i].vehicle == vehicle) return &game::contactQueue.entries[i];
        return nullptr;
    }
};

// Default: vehicle at the origin, unturned, 1500 kg; struck at the front
// right, normal facing the body; impulse 600 gives impact 0.4.
struct Case {
    const char* what;
    int model;
    std::int32_t kind;
    sim::Matrix placement;
    dent::Vec point;
    dent::Vec normal;
    float impulse;
    bool captured;
    dent::Vec bodyPoint;  // expected when captured
    dent::Vec bodyNormal; // expected when captured
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

sim::Matrix scaledRight(float s) {
    sim::Matrix m = sim::Matrix::identity();
    m.m[0] *= s;
    return m;
}

void expectNear(dent::Vec a, dent::Vec b, const char* what) {
    EXPECT_NEAR(a.x, b.x, 1e-5f) << what;
    EXPECT_NEAR(a.y, b.y, 1e-5f) << what;
    EXPECT_NEAR(a.z, b.z, 1e-5f) << what;
}

bool sameResponse(const dent::Response& a, const dent::Response& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST_F(ContactCapture, FiltersOneBodyContacts) {
    const sim::Matrix id = sim::Matrix::identity();
    const Case cases[] = {
        {"ordinary contact", 90, 0, id, {1, 2, 0.5f}, {0, -1, 0}, 600, true, {1, 2, 0.5f}, {0, -1, 0}},
        {"model 89", 89, 0, id, {1, 2, 0.5f}, {0, -1, 0}, 600, false, {}, {}},
        {"model 150", 150, 0, id, {1, 2, 0.5f}, {0, -1, 0}, 600, true, {1, 2, 0.5f}, {0, -1, 0}},
        {"model 151", 151, 0, id, {1, 2, 0.5f}, {0, -1, 0}, 600, false, {}, {}},
        {"kind not 0", 90, 1, id, {1, 2, 0.5f}, {0, -1, 0}, 600, false, {}, {}},
        {"zero impulse", 90, 0, id, {1, 2, 0.5f}, {0, -1, 0}, 0, false, {}, {}},
        {"negative impulse", 90, 0, id, {1, 2, 0.5f}, {0, -1, 0}, -600, false, {}, {}},
        {"NaN impulse", 90, 0, id, {1, 2, 0.5f}, {0, -1, 0}, kNaN, false, {}, {}},
        {"infinite impulse", 90, 0, id, {1, 2, 0.5f}, {0, -1, 0}, kInf, false, {}, {}},
        {"too weak to dent", 90, 0, id, {1, 2, 0.5f}, {0, -1, 0}, 30, false, {}, {}},
        {"axis scaled by 1.02", 90, 0, scaledRight(1.02f), {1, 2, 0.5f}, {0, -1, 0}, 600, false, {}, {}},
        {"NaN point", 90, 0, id, {kNaN, 2, 0.5f}, {0, -1, 0}, 600, false, {}, {}},
        {"infinite normal", 90, 0, id, {1, 2, 0.5f}, {0, -kInf, 0}, 600, false, {}, {}},
        {"12.0 from the origin", 90, 0, id, {0, 12, 0}, {0, -1, 0}, 600, true, {0, 12, 0}, {0, -1, 0}},
        {"beyond 12.0", 90, 0, id, {0, 12.01f, 0}, {0, -1, 0}, 600, false, {}, {}},
        {"normal too short", 90, 0, id, {1, 2, 0.5f}, {0, -0.005f, 0}, 600, false, {}, {}},
        {"short normal is normalised", 90, 0, id, {1, 2, 0.5f}, {0, -0.5f, 0}, 600, true, {1, 2, 0.5f}, {0, -1, 0}},
        {"outward normal turned inward", 90, 0, id, {1, 2, 0.5f}, {0, 1, 0}, 600, true, {1, 2, 0.5f}, {0, -1, 0}},
        {"underbody, vertical normal", 90, 0, id, {0, 0, -0.2f}, {0.6f, 0, 0.8f}, 600, false, {}, {}},
        {"underbody, normal turned vertical", 90, 0, id, {0, 0, -0.2f}, {0.6f, 0, -0.8f}, 600, false, {}, {}},
        {"higher, vertical normal", 90, 0, id, {0, 0, -0.1f}, {0.6f, 0, 0.8f}, 600, true, {0, 0, -0.1f}, {0.6f, 0, 0.8f}},
        {"underbody, flat normal", 90, 0, id, {0, 0, -0.2f}, {0.8f, 0, 0.6f}, 600, true, {0, 0, -0.2f}, {0.8f, 0, 0.6f}},
        // Turned 90 degrees and moved: at (10, 20) the car faces world -x and
        // its right is world +y, so world (9, 21, 0.5) lies 1 right and 1
        // ahead, and a push along world +x comes from ahead. Applied the
        // wrong way round, the transform would put it at (-1, -1, 0.5).
        {"turned and moved", 90, 0, sim::Matrix::yaw(90.0f, {10, 20, 0}), {9, 21, 0.5f}, {1, 0, 0}, 600, true, {1, 1, 0.5f}, {0, -1, 0}},
        {"turned, moved and raised", 90, 0, sim::Matrix::yaw(-90.0f, {-3, 5, 2}), {-2.5f, 3, 2.25f}, {0, 0.6f, -0.8f}, 600, true, {2, 0.5f, 0.25f}, {-0.6f, 0, -0.8f}},
    };
    for (const Case& c : cases) {
        game::contactQueue.reset();
        sim::VehicleDesc desc;
        desc.model = c.model;
        desc.kind = c.kind;
        desc.placement = c.placement;
        void* v = bareVehicle(desc);
        host->collideSingle(v, nullptr, colPoint(c.point, c.normal), c.impulse);
        const dent::Contact* got = queued(v);
        ASSERT_EQ(got != nullptr, c.captured) << c.what;
        if (got == nullptr) continue;
        EXPECT_EQ(game::contactQueue.count, 1u) << c.what;
        EXPECT_EQ(got->handle, host->handleOf(v)) << c.what;
        EXPECT_EQ(got->renderObject, game::renderObject(v)) << c.what;
        EXPECT_EQ(got->impulse, c.impulse) << c.what;
        EXPECT_EQ(got->piece, 5u) << c.what;
        EXPECT_TRUE(sameResponse(got->response, dent::response(c.impulse, 1500.0f,
                                                               plugin::settings().impact)))
            << c.what;
        expectNear(got->point, c.bodyPoint, c.what);
        expectNear(got->normal, c.bodyNormal, c.what);
    }
}

TEST_F(ContactCapture, TwoBodiesAndTheGates) {
    void* a = bareVehicle();
    sim::VehicleDesc far;
    far.placement = sim::Matrix::identity({0, 4, 0});
    void* b = bareVehicle(far);
    // a's front (y = 2) against b's rear (y = -2 in b's frame); the normal
    // faces a, so b sees it negated.
    host->collidePair(a, b, colPoint({0, 2, 0.5f}, {0, -1, 0}), 600, 900);
    ASSERT_EQ(game::contactQueue.count, 2u);
    const dent::Contact* ca = queued(a);
    const dent::Contact* cb = queued(b);
    ASSERT_TRUE(ca && cb);
    EXPECT_EQ(ca->impulse, 600.0f);
    EXPECT_EQ(ca->piece, 5u);
    expectNear(ca->normal, {0, -1, 0}, "first body");
    EXPECT_EQ(cb->impulse, 900.0f);
    EXPECT_EQ(cb->piece, 7u);
    expectNear(cb->point, {0, -2, 0.5f}, "second body");
    expectNear(cb->normal, {0, 1, 0}, "second body");

    // A ped as the second body is dropped; the car's contact still counts.
    game::contactQueue.reset();
    void* ped = host->setPlayerOnFoot({0, 3, 0});
    host->collidePair(a, ped, colPoint({0, 2, 0.5f}, {0, -1, 0}), 600, 900);
    EXPECT_EQ(game::contactQueue.count, 1u);
    EXPECT_NE(queued(a), nullptr);

    struct Gate {
        const char* what;
        std::function<void()> close;
        std::function<void()> open;
    };
    const Gate gates[] = {
        {"host reports no response", [] {}, [] {}},
        {"capture closed", [] { game::captureOpen = 0; }, [] { game::captureOpen = 1; }},
        {"shutting down", [] { game::shuttingDown = 1; }, [] { game::shuttingDown = 0; }},
        {"no vehicle pool", [this] { host->setPoolPointer(false); }, [this] { host->setPoolPointer(true); }},
        {"handle does not lead back", [this] { host->failOnUse(sim::HostCall::VehicleByRef, 1); },
         [this] { host->clearFaults(); }},
    };
    for (const Gate& g : gates) {
        game::contactQueue.reset();
        g.close();
        const bool result = std::string(g.what) != "host reports no response";
        // The host's result passes through unchanged either way.
        EXPECT_EQ(host->collideSingle(a, nullptr, colPoint({0, 2, 0.5f}, {0, -1, 0}), 600, result),
                  result)
            << g.what;
        EXPECT_EQ(game::contactQueue.count, 0u) << g.what;
        g.open();
    }
}

TEST_F(ContactCapture, QueueKeepsTheStrongestPerVehicle) {
    void* v = bareVehicle();
    auto hit = [&](float impulse, std::uint8_t piece) {
        host->collideSingle(v, nullptr, colPoint({1, 2, 0.5f}, {0, -1, 0}, piece), impulse);
    };
    hit(600, 1);
    hit(900, 2); // stronger: replaces
    hit(700, 3); // weaker: ignored
    hit(900, 4); // equal: the first stays
    ASSERT_EQ(game::contactQueue.count, 1u);
    EXPECT_EQ(queued(v)->impulse, 900.0f);
    EXPECT_EQ(queued(v)->piece, 2u);
    // The dent stored is the one of the contact kept.
    EXPECT_TRUE(sameResponse(queued(v)->response,
                             dent::response(900.0f, 1500.0f, plugin::settings().impact)));

    // The same address with another identity (the slot was reused) replaces
    // the stored contact even when weaker.
    dent::Contact other = *queued(v);
    other.handle += 1;
    other.impulse = 100;
    EXPECT_TRUE(game::contactQueue.add(other));
    EXPECT_EQ(game::contactQueue.count, 1u);
    EXPECT_EQ(queued(v)->impulse, 100.0f);
}

TEST_F(ContactCapture, The257thVehicleIsCountedAsDropped) {
    std::vector<void*> cars;
    for (int i = 0; i < 257; ++i) cars.push_back(bareVehicle());
    for (void* v : cars) host->collideSingle(v, nullptr, colPoint({1, 2, 0.5f}, {0, -1, 0}), 600);
    EXPECT_EQ(game::contactQueue.count, 256u);
    EXPECT_EQ(game::contactQueue.dropped, 1u);
    EXPECT_EQ(queued(cars[256]), nullptr);
    // A vehicle already queued still updates its entry.
    host->collideSingle(cars[0], nullptr, colPoint({1, 2, 0.5f}, {0, -1, 0}), 800);
    EXPECT_EQ(queued(cars[0])->impulse, 800.0f);
    EXPECT_EQ(game::contactQueue.dropped, 1u);
}
