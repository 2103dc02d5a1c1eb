// The vehicle pool, vehicles, the player, vehicle model info and the damage
// record's calls.

#include <cstdlib>
#include <cstring>

#include "sim/sim_state.h"

namespace sim::detail {

namespace {

unsigned char* slotRecord(std::int32_t slot) {
    return state().poolStorage + static_cast<std::size_t>(slot) * game::VehicleRecordSize;
}

// The slot a vehicle pointer names, or -1.
std::int32_t slotFor(const void* vehicle) {
    const State& st = state();
    if (!st.poolStorage) return -1;
    const auto p = reinterpret_cast<std::uintptr_t>(vehicle);
    const auto base = reinterpret_cast<std::uintptr_t>(st.poolStorage);
    if (p < base) return -1;
    const std::uintptr_t off = p - base;
    if (off % game::VehicleRecordSize != 0) return -1;
    const std::uintptr_t slot = off / game::VehicleRecordSize;
    if (slot >= static_cast<std::uintptr_t>(st.poolSize)) return -1;
    return static_cast<std::int32_t>(slot);
}

bool liveDamageRecord(const void* damage) {
    const auto p = reinterpret_cast<std::uintptr_t>(damage);
    if (p < game::VehicleDamage) return false;
    const std::int32_t slot = slotFor(reinterpret_cast<void*>(p - game::VehicleDamage));
    return slot >= 0 && (state().poolFlags[slot] & game::PoolSlotFree) == 0;
}

// A component's status: doors from their byte, panels from their 4-bit field.
bool componentField(std::int32_t code, bool* door, std::uint32_t* where) {
    if (code >= 5 && code <= 10) {
        *door = true;
        *where = static_cast<std::uint32_t>(code - 5);
        return true;
    }
    if (code >= 11 && code <= 17) {
        *door = false;
        *where = static_cast<std::uint32_t>(4 * code - 44);
        return true;
    }
    return false;
}

} // namespace

void destroyVehicle(void* vehicle) {
    State& st = state();
    const std::int32_t slot = slotFor(vehicle);
    if (slot < 0 || (st.poolFlags[slot] & game::PoolSlotFree)) {
        ++st.accounting.invalidCalls;
        return;
    }
    unsigned char* v = slotRecord(slot);
    if (void* clump = game::renderObject(v)) destroyClump(static_cast<unsigned char*>(clump));
    std::memset(v, 0, game::VehicleRecordSize);
    st.poolFlags[slot] |= game::PoolSlotFree; // the generation stays until reuse
    if (st.playerVehicle == vehicle) st.playerVehicle = nullptr;
}

void destroyAllVehicles() {
    State& st = state();
    for (std::int32_t i = 0; i < st.poolSize; ++i)
        if ((st.poolFlags[i] & game::PoolSlotFree) == 0) destroyVehicle(slotRecord(i));
    st.playerVehicle = nullptr;
}

// ---- host calls -----------------------------------------------------------------

void* BW_CDECL vehicleByRefImpl(std::int32_t handle) {
    if (failThisUse(HostCall::VehicleByRef)) return nullptr;
    State& st = state();
    const std::int32_t slot = handle >> 8;
    if (!st.poolStorage || slot < 0 || slot >= st.poolSize) return nullptr;
    if (st.poolFlags[slot] != static_cast<std::uint8_t>(handle & 0xFF)) return nullptr;
    return slotRecord(slot);
}

std::int32_t BW_CDECL vehicleRefImpl(void* vehicle) {
    if (failThisUse(HostCall::VehicleRef)) return 0;
    const std::int32_t slot = slotFor(vehicle);
    if (slot < 0) {
        ++state().accounting.invalidCalls;
        return -1;
    }
    return (slot << 8) | state().poolFlags[slot];
}

void* BW_CDECL playerVehicleImpl() {
    if (failThisUse(HostCall::PlayerVehicle)) return nullptr;
    return state().playerVehicle;
}

void* BW_CDECL playerPedImpl() {
    if (failThisUse(HostCall::PlayerPed)) return nullptr;
    return state().playerPed;
}

std::uint32_t BW_THISCALL getDoorStatusImpl(void* damage, std::int32_t door) {
    if (failThisUse(HostCall::GetDoorStatus)) return 0;
    if (!liveDamageRecord(damage) || door < 0 || door >= game::DoorCount) {
        ++state().accounting.invalidCalls;
        return 0;
    }
    return game::field<std::uint8_t>(damage, game::DamageDoorStatus + static_cast<std::uint32_t>(door));
}

void BW_THISCALL setDoorStatusImpl(void* damage, std::int32_t door, std::uint32_t status) {
    if (failThisUse(HostCall::SetDoorStatus)) return;
    if (!liveDamageRecord(damage) || door < 0 || door >= game::DoorCount) {
        ++state().accounting.invalidCalls;
        return;
    }
    game::setField<std::uint8_t>(damage, game::DamageDoorStatus + static_cast<std::uint32_t>(door),
                                 static_cast<std::uint8_t>(status));
}

std::uint32_t BW_THISCALL getLightStatusImpl(void* damage, std::int32_t light) {
    if (failThisUse(HostCall::GetLightStatus)) return 0;
    if (!liveDamageRecord(damage) || light < 0 || light >= 16) {
        ++state().accounting.invalidCalls;
        return 0;
    }
    return (game::damageLightStatus(damage) >> (2 * light)) & 3u;
}

// Draws the damaged variant of door `door`'s part (damaged) or its intact
// one, as the game swaps them when a part's damage state turns. Doors in the
// game's order: bonnet, boot, then the four doors.
void showDoorVariant(void* damage, std::uint32_t door, bool damaged) {
    static const char* const kParts[] = {"bonnet",  "boot",    "door_lf",
                                         "door_rf", "door_lr", "door_rr"};
    if (door >= sizeof kParts / sizeof kParts[0]) return;
    void* vehicle = static_cast<unsigned char*>(damage) - game::VehicleDamage;
    void* clump = game::renderObject(vehicle);
    auto it = state().clumps.find(clump);
    if (clump == nullptr || it == state().clumps.end()) return;
    const std::size_t prefix = std::strlen(kParts[door]);
    for (unsigned char* atomic : it->second->atomics) {
        // Read from the frame record itself: a host call here would count
        // as a use of it (tests fail the Nth use of a call on purpose).
        const auto* frame = static_cast<const unsigned char*>(game::atomicFrame(atomic));
        if (frame == nullptr) continue;
        const char* name = reinterpret_cast<const char*>(frame + FrameNameField);
        if (std::strncmp(name, kParts[door], prefix) != 0) continue;
        const std::uint32_t variant =
            game::field<std::uint32_t>(atomic, AtomicFlagsField) & 3u;
        if (variant != 1u && variant != 2u) continue;
        atomic[game::AtomicObjectFlags] = (variant == 2u) == damaged ? game::AtomicRendered : 0;
    }
}

// The host moves a door one step towards coming off (up to 4) and a panel
// one step (up to 3) on each damaging call.
bool BW_THISCALL componentDamageImpl(void* damage, std::int32_t component, float, float) {
    State& st = state();
    ++st.lifecycle.componentDamage;
    bool door = false;
    std::uint32_t where = 0;
    if (!liveDamageRecord(damage)) {
        ++st.accounting.invalidCalls;
        return false;
    }
    if (!componentField(component, &door, &where)) return false;
    if (door) {
        const auto s = game::field<std::uint8_t>(damage, game::DamageDoorStatus + where);
        if (s >= 4) return false;
        game::setField<std::uint8_t>(damage, game::DamageDoorStatus + where, static_cast<std::uint8_t>(s + 1));
        if (s == 0) showDoorVariant(damage, where, true);
        return true;
    }
    std::uint32_t word = game::damagePanelStatus(damage);
    const std::uint32_t s = (word >> where) & 0xFu;
    if (s >= 3) return false;
    word = (word & ~(0xFu << where)) | ((s + 1) << where);
    game::setField<std::uint32_t>(damage, game::DamagePanelStatus, word);
    return true;
}

// Returns the running count of resets: a value its callers could read, and
// one that a detour dropping it cannot fake.
std::uint32_t BW_THISCALL damageResetImpl(void* damage) {
    State& st = state();
    ++st.lifecycle.damageReset;
    if (!liveDamageRecord(damage)) {
        ++st.accounting.invalidCalls;
        return st.lifecycle.damageReset;
    }
    std::memset(damage, 0, game::DamageRecordSize);
    for (std::uint32_t door = 0; door < game::DoorCount; ++door)
        showDoorVariant(damage, door, false);
    return st.lifecycle.damageReset;
}

// Applies the response's push to a known vehicle, as the host's physics would.
void pushVehicle(void* entity, dent::Vec normal, float impulse) {
    const std::int32_t slot = slotFor(entity);
    if (slot < 0 || (state().poolFlags[slot] & game::PoolSlotFree)) return;
    const float mass = game::vehicleMass(entity);
    if (!(mass > 0.0f)) return;
    const dent::Vec v = game::vehicleMoveSpeed(entity) + normal * (impulse / mass);
    game::setVecField(entity, game::VehicleMoveSpeed, v);
}

bool BW_THISCALL pairContactImpl(void* self, void* other, void* colPoint, float* impulseSelf,
                                 float* impulseOther) {
    State& st = state();
    ++st.lifecycle.pairContact;
    if (!st.contactResult) return false;
    if (impulseSelf) *impulseSelf = st.pairImpulseSelf;
    if (impulseOther) *impulseOther = st.pairImpulseOther;
    if (colPoint) {
        const dent::Vec n = game::vecField(colPoint, game::ColPointNormal);
        pushVehicle(self, n, st.pairImpulseSelf);
        pushVehicle(other, n * -1.0f, st.pairImpulseOther);
        // The host's response reuses the record afterwards: whoever wants its
        // contents must have copied them before the call.
        std::memset(colPoint, 0xFF, game::ColPointSize);
    }
    return true;
}

bool BW_THISCALL singleContactImpl(void* self, void*, void* colPoint, float* impulse, void*, void*) {
    State& st = state();
    ++st.lifecycle.singleContact;
    if (!st.contactResult) return false;
    if (impulse) *impulse = st.singleImpulse;
    if (colPoint) {
        pushVehicle(self, game::vecField(colPoint, game::ColPointNormal), st.singleImpulse);
        std::memset(colPoint, 0xFF, game::ColPointSize);
    }
    return true;
}

} // namespace sim::detail
