// The substitute host's set-up and its API for tests and tools.

#include "sim/host.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "sim/address_space.h"
#include "sim/sim_state.h"

namespace sim {

using namespace detail;

namespace {

constexpr std::int32_t ModelInfoEntries = 5500;
constexpr std::uint32_t ModelInfoRecordSize = 0x1F8;
constexpr std::uint32_t PedRecordSize = 0x200;
constexpr std::uint32_t EngineRecordSize = 0x100;
constexpr dent::Vec DefaultRearLight = {0.7f, -2.1f, 0.3f};

template <class Fn>
Fn hostFunction(game::Address a) {
    return reinterpret_cast<Fn>(static_cast<std::uintptr_t>(a));
}

template <class Fn>
const void* code(Fn fn) {
    return reinterpret_cast<const void*>(fn);
}

void writeGlobalPointer(game::Address a, const void* p) {
    const auto v = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
    writeBytes(a, &v, 4);
}

unsigned char* ensureModelInfo(int model) {
    State& st = state();
    if (model < 0 || model >= ModelInfoEntries || !st.modelInfoTable) return nullptr;
    if (!st.modelInfoTable[model]) {
        auto* rec = static_cast<unsigned char*>(std::calloc(ModelInfoRecordSize, 1));
        st.modelInfos.push_back(rec);
        st.modelInfoTable[model] = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(rec));
    }
    return reinterpret_cast<unsigned char*>(static_cast<std::uintptr_t>(st.modelInfoTable[model]));
}

} // namespace

// ---- lifecycle functions behind the host's code ----------------------------------

namespace detail {

void BW_CDECL processImpl() {
    State& st = state();
    ++st.lifecycle.process;
    std::vector<std::function<void()>> actions;
    actions.swap(st.duringProcess);
    for (auto& a : actions) a();
}

void BW_CDECL poolsShutdownImpl() {
    State& st = state();
    ++st.lifecycle.poolsShutdown;
    destroyAllVehicles();
    writeGlobalPointer(game::addr::VehiclePool, nullptr);
}

void BW_CDECL rwShutdownImpl() {
    ++state().lifecycle.rwShutdown;
    writeGlobalPointer(game::addr::EngineInstance, nullptr);
}

std::uint32_t BW_CDECL gameShutdownImpl() {
    State& st = state();
    ++st.lifecycle.gameShutdown;
    callThunk(game::addr::PoolsShutdownCall)();
    return st.gameShutdownResult;
}

void BW_CDECL shutDownForRestartImpl() {
    ++state().lifecycle.restart;
    destroyAllVehicles();
}

bool active() {
    return state().pool != nullptr;
}

} // namespace detail

// ---- matrices -------------------------------------------------------------------

Matrix Matrix::identity(dent::Vec p) {
    return Matrix{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, p.x, p.y, p.z, 0}};
}

Matrix Matrix::yaw(float degrees, dent::Vec p) {
    const float r = degrees * 3.14159265f / 180.0f;
    const float c = std::cos(r), s = std::sin(r);
    return Matrix{{c, s, 0, 0, -s, c, 0, 0, 0, 0, 1, 0, p.x, p.y, p.z, 0}};
}

// ---- set-up -------------------------------------------------------------------------

namespace {
bool hostAlive = false; // the addresses are fixed: one host at a time
std::uintptr_t processBase = 0; // what the platform reported before the host stood in
} // namespace

Host::Host(HostOptions options) {
    if (hostAlive || options.poolSlots < 1 || options.poolSlots > 10000 || !mapHostRange()) return;
    hostAlive = true;
    State& st = state();
    st = State();
    st.options = options;

    writeBytes(game::addr::Signature, game::addr::SignatureBytes, 4);

    const struct {
        game::Address at;
        const void* impl;
    } stubs[] = {
        {game::addr::Atomics, code(&atomicsImpl)},
        {game::addr::VehicleByRef, code(&vehicleByRefImpl)},
        {game::addr::VehicleRef, code(&vehicleRefImpl)},
        {game::addr::PlayerVehicle, code(&playerVehicleImpl)},
        {game::addr::PlayerPed, code(&playerPedImpl)},
        {game::addr::CreateGeometry, code(&createGeometryImpl)},
        {game::addr::DestroyGeometry, code(&destroyGeometryImpl)},
        {game::addr::SetGeometry, code(&setGeometryImpl)},
        {game::addr::Lock, code(&lockImpl)},
        {game::addr::Unlock, code(&unlockImpl)},
        {game::addr::TriangleVertices, code(&triangleVerticesImpl)},
        {game::addr::TriangleMaterial, code(&triangleMaterialImpl)},
        {game::addr::GeometrySkin, code(&geometrySkinImpl)},
        {game::addr::FrameLTM, code(&frameLTMImpl)},
        {game::addr::FrameName, code(&frameNameImpl)},
        {game::addr::AtomicFlags, code(&atomicFlagsImpl)},
        {game::addr::GetDoorStatus, code(&getDoorStatusImpl)},
        {game::addr::SetDoorStatus, code(&setDoorStatusImpl)},
        {game::addr::GetLightStatus, code(&getLightStatusImpl)},
        {game::addr::PairContact, code(&pairContactImpl)},
        {game::addr::SingleContact, code(&singleContactImpl)},
        {game::addr::GameShutdown, code(&gameShutdownImpl)},
        {game::addr::ShutDownForRestart, code(&shutDownForRestartImpl)},
        {game::addr::ComponentDamage, code(&componentDamageImpl)},
        {game::addr::DamageReset, code(&damageResetImpl)},
    };
    for (const auto& s : stubs) writeJumpStub(s.at, s.impl);
    writeCallThunk(game::addr::ProcessCall, code(&processImpl));
    writeCallThunk(game::addr::PoolsShutdownCall, code(&poolsShutdownImpl));
    writeCallThunk(game::addr::RwShutdownCall, code(&rwShutdownImpl));

    // The vehicle pool: every slot free, generation 0.
    st.poolSize = options.poolSlots;
    st.poolStorage = static_cast<unsigned char*>(
        std::calloc(static_cast<std::size_t>(st.poolSize), game::VehicleRecordSize));
    st.poolFlags = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(st.poolSize)));
    std::memset(st.poolFlags, game::PoolSlotFree, static_cast<std::size_t>(st.poolSize));
    st.pool = static_cast<unsigned char*>(std::calloc(16, 1));
    game::setPointerField(st.pool, game::PoolObjects, st.poolStorage);
    game::setPointerField(st.pool, game::PoolFlags, st.poolFlags);
    game::setField<std::int32_t>(st.pool, game::PoolSize, st.poolSize);
    writeGlobalPointer(game::addr::VehiclePool, st.pool);

    st.engine = static_cast<unsigned char*>(std::calloc(EngineRecordSize, 1));
    writeGlobalPointer(game::addr::EngineInstance, st.engine);

    st.modelInfoTable = static_cast<std::uint32_t*>(std::calloc(ModelInfoEntries, 4));
    writeGlobalPointer(game::addr::ModelInfoTableWord, st.modelInfoTable);
    for (int m = game::FirstHandledModel; m <= game::LastHandledModel; ++m)
        game::setVecField(ensureModelInfo(m), game::ModelInfoRearLight, DefaultRearLight);

    protectCode();
    // The platform layer now reports this image as the process's executable,
    // and system time starts where the host clock does.
    processBase = platform::executableBase();
    platform::testing::setExecutableBase(game::addr::ImageBase);
    platform::testing::setTickCount(0);
    ok_ = true;
}

Host::~Host() {
    if (!ok_) return;
    freeEverything();
    unmapHostRange();
    platform::testing::setExecutableBase(processBase);
    hostAlive = false;
}

// ---- the frame and the session ----------------------------------------------------

void Host::step(std::uint32_t ms) {
    setClock(clock() + ms);
    setTickCount(state().systemTime + ms);
    callThunk(game::addr::ProcessCall)();
}

void Host::duringNextProcess(std::function<void()> action) {
    state().duringProcess.push_back(std::move(action));
}

std::uint32_t Host::endSession() {
    const std::uint32_t r = gameShutdown();
    renderWareShutdown();
    return r;
}

std::uint32_t Host::gameShutdown() {
    return hostFunction<game::GameShutdownFn>(game::addr::GameShutdown)();
}

void Host::renderWareShutdown() {
    callThunk(game::addr::RwShutdownCall)();
}

void Host::shutDownForRestart() {
    hostFunction<game::ShutDownForRestartFn>(game::addr::ShutDownForRestart)();
}

void Host::setGameShutdownResult(std::uint32_t value) {
    state().gameShutdownResult = value;
}

LifecycleCounts Host::lifecycle() const {
    return state().lifecycle;
}

// ---- globals -------------------------------------------------------------------------

void Host::setClock(std::uint32_t ms) {
    writeBytes(game::addr::Clock, &ms, 4);
}

std::uint32_t Host::clock() const {
    return game::hostClock();
}

void Host::setTickCount(std::uint32_t ms) {
    state().systemTime = ms;
    platform::testing::setTickCount(ms);
}

void Host::setKey(int virtualKey, bool down) {
    platform::testing::setKeyDown(virtualKey, down);
}

void Host::setHoldFlags(std::uint8_t a, std::uint8_t b) {
    writeBytes(game::addr::HoldFlagA, &a, 1);
    writeBytes(game::addr::HoldFlagB, &b, 1);
}

void Host::setEngineInstance(bool present) {
    writeGlobalPointer(game::addr::EngineInstance, present ? state().engine : nullptr);
}

void Host::setPoolPointer(bool present) {
    writeGlobalPointer(game::addr::VehiclePool, present ? state().pool : nullptr);
}

void Host::setModelInfoTable(bool present) {
    writeGlobalPointer(game::addr::ModelInfoTableWord, present ? state().modelInfoTable : nullptr);
}

void Host::setRearLight(int model, dent::Vec position) {
    if (unsigned char* m = ensureModelInfo(model)) game::setVecField(m, game::ModelInfoRearLight, position);
}

void Host::patchCode(game::Address at, const std::uint8_t* bytes, std::size_t count) {
    writeBytes(at, bytes, count);
}

// ---- vehicles and the player ------------------------------------------------------------

void* Host::addVehicle(const VehicleDesc& desc) {
    State& st = state();
    std::int32_t slot = 0;
    while (slot < st.poolSize && (st.poolFlags[slot] & game::PoolSlotFree) == 0) ++slot;
    if (slot == st.poolSize) return nullptr;
    // A reused slot gets the next generation, so old handles no longer match.
    st.poolFlags[slot] =
        static_cast<std::uint8_t>(((st.poolFlags[slot] & game::PoolGenerationMask) + 1) & game::PoolGenerationMask);
    unsigned char* v = st.poolStorage + static_cast<std::size_t>(slot) * game::VehicleRecordSize;
    std::memset(v, 0, game::VehicleRecordSize);
    std::memcpy(v + game::EntityMatrix, desc.placement.m, sizeof desc.placement.m);
    game::setField<std::uint8_t>(v, game::EntityTypeByte, game::EntityTypeVehicle);
    game::setField<std::int16_t>(v, game::EntityModelIndex, static_cast<std::int16_t>(desc.model));
    game::setField<float>(v, game::VehicleMass, desc.mass);
    game::setField<float>(v, game::VehicleHealth, desc.health);
    game::setField<std::int32_t>(v, game::VehicleKind, desc.kind);
    if (desc.buildCar) {
        void* root = createFrame("car", nullptr, desc.placement);
        void* clump = createRenderObject(root);
        buildCar(clump, desc.car);
        game::setPointerField(v, game::EntityRenderObject, clump);
    }
    return v;
}

void Host::removeVehicle(void* vehicle) {
    destroyVehicle(vehicle);
}

void Host::setPlacement(void* vehicle, const Matrix& m) {
    std::memcpy(static_cast<unsigned char*>(vehicle) + game::EntityMatrix, m.m, sizeof m.m);
    if (void* clump = game::renderObject(vehicle))
        if (void* root = game::renderObjectFrame(clump))
            std::memcpy(static_cast<unsigned char*>(root) + game::FrameModelling, m.m, sizeof m.m);
}

std::int32_t Host::handleOf(void* vehicle) const {
    const std::int32_t slot = slotOf(vehicle);
    return slot < 0 ? -1 : (slot << 8) | state().poolFlags[slot];
}

std::int32_t Host::slotOf(void* vehicle) const {
    const State& st = state();
    for (std::int32_t i = 0; i < st.poolSize; ++i)
        if (st.poolStorage + static_cast<std::size_t>(i) * game::VehicleRecordSize == vehicle) return i;
    return -1;
}

void Host::setPlayerVehicle(void* vehicle) {
    state().playerVehicle = vehicle;
}

void* Host::setPlayerOnFoot(dent::Vec position) {
    State& st = state();
    st.playerVehicle = nullptr;
    if (!st.playerPed) {
        st.playerPed = static_cast<unsigned char*>(std::calloc(PedRecordSize, 1));
        const Matrix m = Matrix::identity();
        std::memcpy(st.playerPed + game::EntityMatrix, m.m, sizeof m.m);
        game::setField<std::uint8_t>(st.playerPed, game::EntityTypeByte, 3); // a ped
    }
    game::setVecField(st.playerPed, game::EntityPosition, position);
    return st.playerPed;
}

void Host::clearPlayer() {
    State& st = state();
    st.playerVehicle = nullptr;
    std::free(st.playerPed);
    st.playerPed = nullptr;
}

void Host::linkEntity(void* vehicle, void* linked) {
    game::setPointerField(vehicle, game::VehicleEntityRef, linked);
}

// ---- collisions and damage ---------------------------------------------------------

bool Host::collidePair(void* self, void* other, const ColPoint& point, float impulseSelf,
                       float impulseOther, bool result) {
    State& st = state();
    st.pairImpulseSelf = impulseSelf;
    st.pairImpulseOther = impulseOther;
    st.contactResult = result;
    ColPoint record = point;
    float a = 0, b = 0;
    return hostFunction<game::PairContactFn>(game::addr::PairContact)(self, other, &record, &a, &b);
}

bool Host::collideSingle(void* self, void* other, const ColPoint& point, float impulse, bool result) {
    State& st = state();
    st.singleImpulse = impulse;
    st.contactResult = result;
    ColPoint record = point;
    float a = 0;
    dent::Vec move{}, turn{};
    return hostFunction<game::SingleContactFn>(game::addr::SingleContact)(self, other, &record, &a,
                                                                          &move, &turn);
}

bool Host::damageComponent(void* vehicle, std::int32_t component, float amount) {
    return hostFunction<game::ComponentDamageFn>(game::addr::ComponentDamage)(
        game::vehicleDamage(vehicle), component, amount, 0.0f);
}

std::uint32_t Host::resetDamage(void* vehicle) {
    return hostFunction<game::DamageResetFn>(game::addr::DamageReset)(game::vehicleDamage(vehicle));
}

// ---- scene building --------------------------------------------------------------

void* Host::createGeometry(std::int32_t vertices, std::int32_t triangles, std::uint32_t format) {
    return newGeometry(vertices, triangles, format);
}

void Host::releaseGeometry(void* geometry) {
    if (GeometryRec* g = findGeometry(geometry)) dropGeometry(*g);
    else ++state().accounting.badReleases;
}

void* Host::createMaterial() {
    return newMaterial();
}

void Host::releaseMaterial(void* material) {
    detail::releaseMaterial(material);
}

void Host::setMaterialTexture(void* material, const std::string& name) {
    detail::nameMaterialTexture(material, name);
}

void* Host::createFrame(const char* name, void* parent, const Matrix& modelling) {
    return newFrame(name, static_cast<unsigned char*>(parent), modelling.m);
}

void* Host::createAtomic(void* frame, void* geometry, std::uint32_t visibilityFlags) {
    return newAtomic(static_cast<unsigned char*>(frame), static_cast<unsigned char*>(geometry),
                     visibilityFlags);
}

void* Host::createRenderObject(void* rootFrame) {
    return newClump(static_cast<unsigned char*>(rootFrame));
}

void Host::addAtomic(void* renderObject, void* atomic) {
    auto it = state().clumps.find(renderObject);
    if (it != state().clumps.end()) it->second->atomics.push_back(static_cast<unsigned char*>(atomic));
}

std::vector<void*> Host::atomicsOf(void* renderObject) const {
    std::vector<void*> out;
    auto it = state().clumps.find(renderObject);
    if (it != state().clumps.end())
        for (unsigned char* a : it->second->atomics) out.push_back(a);
    return out;
}

// ---- faults ------------------------------------------------------------------------

void Host::failOnUse(HostCall call, std::uint32_t nth) {
    State& st = state();
    const int i = static_cast<int>(call);
    st.failOn[i] = nth == 0 ? 0 : st.uses[i] + nth;
}

void Host::clearFaults() {
    for (auto& f : state().failOn) f = 0;
}

std::uint32_t Host::uses(HostCall call) const {
    return state().uses[static_cast<int>(call)];
}

std::uint32_t Host::morphOffset() const {
    return morphOffsetOf(state().options.morphLayout);
}

void Host::setSurface(void* geometry, const game::SurfaceProperties& surface) {
    if (findGeometry(geometry) && state().options.morphLayout == MorphLayout::At68)
        game::setSurfaceProperties(geometry, surface);
}

void Host::makeSkinned(void* geometry) {
    if (GeometryRec* g = findGeometry(geometry))
        if (!g->skin) g->skin = static_cast<unsigned char*>(std::calloc(16, 1));
}

void Host::setMaterialEntry(void* geometry, std::int32_t index, std::uint32_t value) {
    GeometryRec* g = findGeometry(geometry);
    if (!g || index < 0 || index >= g->materialCapacity) return;
    game::setField<std::uint32_t>(g->materialTable, static_cast<std::uint32_t>(4 * index), value);
}

void Host::setMaterialTable(void* geometry, std::uint32_t table, std::int32_t count, std::int32_t capacity) {
    if (!findGeometry(geometry)) return;
    game::setField<std::uint32_t>(geometry, game::GeometryMaterials, table);
    game::setField<std::int32_t>(geometry, game::GeometryMaterialCount, count);
    game::setField<std::int32_t>(geometry, game::GeometryMaterialCapacity, capacity);
}

void Host::setMorphOwner(void* geometry, void* owner) {
    if (GeometryRec* g = findGeometry(geometry)) game::setPointerField(g->morph, game::MorphParent, owner);
}

// ---- accounting -------------------------------------------------------------------

Accounting Host::accounting() const {
    return state().accounting;
}

bool Host::isLiveGeometry(const void* geometry) const {
    return findGeometry(geometry) != nullptr;
}

std::int32_t Host::references(const void* geometry) const {
    const GeometryRec* g = findGeometry(geometry);
    return g ? game::geometryRefCount(g->raw) : -1;
}

std::int32_t Host::materialReferences(const void* material) const {
    auto it = state().materials.find(material);
    return it == state().materials.end() ? -1 : it->second->refs;
}

std::uint32_t Host::unlocks(const void* geometry) const {
    const GeometryRec* g = findGeometry(geometry);
    return g ? g->unlocks : 0;
}

bool Host::atomicsOnLiveGeometries() const {
    for (const auto& [raw, a] : state().atomics) {
        void* g = game::atomicGeometry(a->raw);
        if (g && !findGeometry(g)) return false;
    }
    return true;
}

} // namespace sim
