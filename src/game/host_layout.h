#pragma once

// Every fixed address and every record field offset of the host executable,
// named once. The plug-in and the substitute host reach host records only
// through the accessors at the end of this file, so a wrong offset is wrong in
// exactly one place. Reads and writes go through memcpy: host records are
// packed by another compiler, and hostile or corrupted records may be
// misaligned.

#include <cstdint>
#include <cstring>

#include "dent/vec.h"

namespace game {

using Address = std::uint32_t;

// ---- the executable -------------------------------------------------------

namespace addr {

constexpr Address ImageBase = 0x400000;
// Four bytes that identify the supported executable: 55 89 E5 53.
constexpr Address Signature = 0x5C1E70;
constexpr std::uint8_t SignatureBytes[4] = {0x55, 0x89, 0xE5, 0x53};

// Host functions reached through the game:: table.
constexpr Address Atomics = 0x59EDD0;
constexpr Address VehicleByRef = 0x4A1AE0;
constexpr Address VehicleRef = 0x4A1AC0;
constexpr Address PlayerVehicle = 0x4A10C0;
constexpr Address PlayerPed = 0x4A1150;
constexpr Address CreateGeometry = 0x5ACD10;
constexpr Address DestroyGeometry = 0x5ACF50;
constexpr Address SetGeometry = 0x59EFA0;
constexpr Address Lock = 0x5ACC30;
constexpr Address Unlock = 0x5ACC60;
constexpr Address TriangleVertices = 0x5ACB60;
constexpr Address TriangleMaterial = 0x5ACB90;
constexpr Address GeometrySkin = 0x5B1080;
constexpr Address FrameLTM = 0x5A1CE0;
constexpr Address FrameName = 0x527150;
constexpr Address AtomicFlags = 0x527F50;
constexpr Address GetDoorStatus = 0x545930;
constexpr Address SetDoorStatus = 0x545920;
constexpr Address GetLightStatus = 0x545890;

// Near calls (E8) rewritten at start-up to reach the plug-in's detours.
constexpr Address RwShutdownCall = 0x48D540;   // the RenderWare shutdown
constexpr Address PoolsShutdownCall = 0x48C491; // the pools shutdown, inside CGame::Shutdown
constexpr Address ProcessCall = 0x48E49B;      // the game's per-frame processing

// Functions hooked inline on the first frame.
constexpr Address PairContact = 0x4973A0;      // two-body collision response
constexpr Address SingleContact = 0x4992A0;    // alternate / static collision response
constexpr Address GameShutdown = 0x48C3A0;     // CGame::Shutdown
constexpr Address ShutDownForRestart = 0x48C6B0;
constexpr Address ComponentDamage = 0x545A80;  // damage record: apply component damage
constexpr Address DamageReset = 0x545850;      // damage record: reset

// Host globals.
constexpr Address VehiclePool = 0x9430DC;      // pointer to the vehicle pool
constexpr Address EngineInstance = 0x661228;   // RenderWare engine instance pointer
constexpr Address HoldFlagA = 0x95CD7C;        // byte; bit 0 set: no frame work
constexpr Address HoldFlagB = 0x95CDB1;        // byte; bit 0 set: no frame work
constexpr Address Clock = 0x885B48;            // uint32 milliseconds
constexpr Address ModelInfoTableWord = 0x40A597; // 32-bit word: address of the model-info table

} // namespace addr

// ---- record fields ----------------------------------------------------------

// Placement matrix of a vehicle or ped: four rows of four 32-bit words (right,
// forward, up, position); the fourth word of each row is not read.
constexpr std::uint32_t EntityMatrix = 0x04;
constexpr std::uint32_t EntityPosition = 0x34;
constexpr std::uint32_t EntityRenderObject = 0x4C;
constexpr std::uint32_t EntityTypeByte = 0x50;    // low three bits: entity type
constexpr std::uint32_t EntityCollisionProofByte = 0x53; // bit 0x04: the entity is collision-proof
constexpr std::uint32_t EntityModelIndex = 0x5C;  // 16-bit
constexpr std::uint32_t VehicleMoveSpeed = 0x78;  // three floats
constexpr std::uint32_t VehicleMass = 0xC0;       // float
constexpr std::uint32_t VehicleEntityRef = 0x110; // pointer to a linked entity
constexpr std::uint32_t VehicleHealth = 0x200;    // float
constexpr std::uint32_t VehicleKind = 0x284;      // 32-bit; 0 is handled
constexpr std::uint32_t VehicleDamage = 0x288;    // the damage record, embedded
constexpr std::uint32_t VehicleRecordSize = 0x5A8; // bytes per vehicle pool slot

constexpr std::uint8_t EntityTypeMask = 0x07;
constexpr std::uint8_t EntityTypeVehicle = 2;
constexpr std::uint8_t EntityCollisionProof = 0x04;
constexpr int FirstHandledModel = 90;
constexpr int LastHandledModel = 150;

// Damage record (embedded in the vehicle).
constexpr std::uint32_t DamageDoorStatus = 0x09;  // six bytes, one per door (host-internal: game::getDoorStatus)
constexpr std::uint32_t DamageLightStatus = 0x10; // 32-bit, two bits per light
constexpr std::uint32_t DamagePanelStatus = 0x14; // 32-bit, four bits per panel
constexpr std::uint32_t DamageRecordSize = 0x1C;
constexpr int DoorCount = 6;

// Render object (the vehicle's clump).
constexpr std::uint32_t RenderObjectFrame = 0x04;

// Atomic.
constexpr std::uint32_t AtomicObjectFlags = 0x02;  // bit 0x04: the game draws the atomic
constexpr std::uint32_t AtomicPrivateFlags = 0x03; // bit 0x01: bounding sphere rewritten
constexpr std::uint32_t AtomicFrame = 0x04;
constexpr std::uint32_t AtomicGeometry = 0x18;
constexpr std::uint32_t AtomicBoundingSphere = 0x1C; // centre x, y, z, radius
constexpr std::uint8_t AtomicSphereRewritten = 0x01;
constexpr std::uint8_t AtomicRendered = 0x04;
// The visibility flags are read only through game::atomicFlags: where the
// game keeps them is left to the host.

// Frame. The world matrix that game::frameLTM returns has rows right, up, at,
// position of 16 bytes each (three floats and one further word).
constexpr std::uint32_t FrameParent = 0x04;
// Host-internal (the plug-in uses game::frameLTM): the local and the world
// matrix as the host stores them. The name is read only through
// game::frameName: where the game keeps it is left to the host.
constexpr std::uint32_t FrameModelling = 0x10;
constexpr std::uint32_t FrameWorld = 0x50;
constexpr std::uint32_t MatrixRowStride = 0x10;
constexpr std::uint32_t MatrixSize = 0x40;

// Vehicle pool.
constexpr std::uint32_t PoolObjects = 0x00;   // slot storage: one vehicle record per slot
constexpr std::uint32_t PoolFlags = 0x04;     // byte pointer: per-slot flag bytes
constexpr std::uint32_t PoolSize = 0x08;      // 32-bit slot count
constexpr std::uint8_t PoolSlotFree = 0x80;   // the rest of the byte is the generation
constexpr std::uint8_t PoolGenerationMask = 0x7F;

// Geometry.
constexpr std::uint32_t GeometryFlags = 0x08;
constexpr std::uint32_t GeometryFlagsHighByte = 0x0B; // bits 0, 1: flag bits 24, 25
constexpr std::uint32_t GeometryLockFlags = 0x0C;     // 16-bit
constexpr std::uint32_t GeometryRefCount = 0x0E;      // int16
constexpr std::uint32_t GeometryTriangleCount = 0x10;
constexpr std::uint32_t GeometryVertexCount = 0x14;
constexpr std::uint32_t GeometryMorphTargetCount = 0x18;
constexpr std::uint32_t GeometryTexCoordSetCount = 0x1C;
constexpr std::uint32_t GeometryMaterials = 0x20;        // pointer to material pointers
constexpr std::uint32_t GeometryMaterialCount = 0x24;
constexpr std::uint32_t GeometryMaterialCapacity = 0x28;
constexpr std::uint32_t GeometryTriangles = 0x2C;
constexpr std::uint32_t GeometryPrelit = 0x30;
constexpr std::uint32_t GeometryTexCoords = 0x34;        // eight pointers
constexpr std::uint32_t GeometryHeaderSize = 0x54;
constexpr int GeometryMaxTexCoordSets = 8;
// Where the morph-target pointer sits depends on the engine build; the probe
// decides between these two at run time. The 1.0 executable's engine keeps
// the geometry's surface properties at 0x5C and the pointer behind them at
// 0x68; the other build has the pointer at 0x5C and no surface properties in
// the geometry.
constexpr std::uint32_t MorphOffsetAt5C = 0x5C;
constexpr std::uint32_t MorphOffsetAt68 = 0x68;
constexpr std::uint32_t MorphOffsetCandidates[2] = {MorphOffsetAt5C, MorphOffsetAt68};
// Surface properties: what the engine lights the geometry with. Only in the
// layout with the pointer at 0x68.
constexpr std::uint32_t GeometrySurfaceProperties = 0x5C;

// Geometry format flags.
constexpr std::uint32_t FormatTriStrip = 0x01;
constexpr std::uint32_t FormatPositions = 0x02;
constexpr std::uint32_t FormatTexCoords1 = 0x04;
constexpr std::uint32_t FormatPrelit = 0x08;
constexpr std::uint32_t FormatNormals = 0x10;
constexpr std::uint32_t FormatLight = 0x20;
constexpr std::uint32_t FormatModulateColour = 0x40;
constexpr std::uint32_t FormatTexCoords2 = 0x80;
constexpr std::uint32_t FormatNoCpuData = 0x03000000; // flag bits 24 and 25
constexpr std::uint32_t FormatTexCoordShift = 16;     // set count in the format word

// Lock modes.
constexpr std::int32_t LockPositions = 0x02;
constexpr std::int32_t LockNormals = 0x04;

// Triangle: three uint16 vertex indices, then an int16 material index.
struct Triangle {
    std::uint16_t vertex[3];
    std::int16_t material;
};
static_assert(sizeof(Triangle) == 8, "host triangle is 8 bytes");

struct SurfaceProperties {
    float ambient;
    float specular;
    float diffuse;
};
static_assert(sizeof(SurfaceProperties) == 12, "host surface properties are 12 bytes");
static_assert(GeometrySurfaceProperties + sizeof(SurfaceProperties) == MorphOffsetAt68,
              "the surface properties end where the later morph-target pointer sits");

// Morph target (28 bytes).
constexpr std::uint32_t MorphParent = 0x00;
constexpr std::uint32_t MorphBoundingSphere = 0x04; // centre x, y, z, radius
constexpr std::uint32_t MorphPositions = 0x14;
constexpr std::uint32_t MorphNormals = 0x18;
constexpr std::uint32_t MorphTargetSize = 28;

// Material.
constexpr std::uint32_t MaterialColour = 0x04;   // four bytes RGBA, host-internal (the tint drawn)
constexpr std::uint32_t MaterialRefCount = 0x18; // int16, host-internal
constexpr std::uint32_t MaterialSize = 0x1C;
constexpr std::uint32_t MaterialTexture = 0x00; // pointer to its texture or null, host-internal

// Texture: only its name, which the substitute host fills and the crash lab
// reads; the plug-in never touches textures.
constexpr std::uint32_t TextureName = 0x10; // char[32], host-internal
constexpr std::uint32_t TextureNameSize = 32;
constexpr std::uint32_t TextureSize = 0x58;

// Vehicle model info.
constexpr std::uint32_t ModelInfoRearLight = 0x80; // three floats, body frame

// Collision point record, as the collision responses receive it.
constexpr std::uint32_t ColPointPosition = 0x00;
constexpr std::uint32_t ColPointNormal = 0x10;
constexpr std::uint32_t ColPointPieceA = 0x21;
constexpr std::uint32_t ColPointPieceB = 0x23;
constexpr std::uint32_t ColPointSize = 40;

// ---- accessors --------------------------------------------------------------

inline const unsigned char* bytesAt(const void* record, std::uint32_t offset) {
    return static_cast<const unsigned char*>(record) + offset;
}
inline unsigned char* bytesAt(void* record, std::uint32_t offset) {
    return static_cast<unsigned char*>(record) + offset;
}

// One field of a record. The caller has proven the bytes readable.
template <class T>
T field(const void* record, std::uint32_t offset) {
    T value;
    std::memcpy(&value, bytesAt(record, offset), sizeof(T));
    return value;
}
template <class T>
void setField(void* record, std::uint32_t offset, T value) {
    std::memcpy(bytesAt(record, offset), &value, sizeof(T));
}

// A pointer field; host pointers are 32-bit.
inline void* pointerField(const void* record, std::uint32_t offset) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(field<std::uint32_t>(record, offset)));
}
inline void setPointerField(void* record, std::uint32_t offset, const void* value) {
    setField<std::uint32_t>(record, offset,
                            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value)));
}

inline dent::Vec vecField(const void* record, std::uint32_t offset) {
    return field<dent::Vec>(record, offset);
}
inline void setVecField(void* record, std::uint32_t offset, dent::Vec v) {
    setField<dent::Vec>(record, offset, v);
}

// A host global at its fixed address.
inline void* globalAddress(Address a) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(a));
}
template <class T>
T global(Address a) {
    return field<T>(globalAddress(a), 0);
}
template <class T>
void setGlobal(Address a, T value) {
    setField<T>(globalAddress(a), 0, value);
}
inline void* pointerGlobal(Address a) {
    return pointerField(globalAddress(a), 0);
}

// Named accessors for the fields most Parts read.
inline void* vehiclePool() { return pointerGlobal(addr::VehiclePool); }
inline void* engineInstance() { return pointerGlobal(addr::EngineInstance); }
inline std::uint8_t holdFlagA() { return global<std::uint8_t>(addr::HoldFlagA); }
inline std::uint8_t holdFlagB() { return global<std::uint8_t>(addr::HoldFlagB); }
inline std::uint32_t hostClock() { return global<std::uint32_t>(addr::Clock); }
inline void* modelInfoTable() { return pointerGlobal(addr::ModelInfoTableWord); }

inline std::uint8_t entityType(const void* e) {
    return field<std::uint8_t>(e, EntityTypeByte) & EntityTypeMask;
}
inline bool collisionProof(const void* e) {
    return (field<std::uint8_t>(e, EntityCollisionProofByte) & EntityCollisionProof) != 0;
}
inline dent::Vec entityPosition(const void* e) { return vecField(e, EntityPosition); }
inline void* renderObject(const void* e) { return pointerField(e, EntityRenderObject); }
inline int modelIndex(const void* e) { return field<std::int16_t>(e, EntityModelIndex); }
inline dent::Vec vehicleMoveSpeed(const void* v) { return vecField(v, VehicleMoveSpeed); }
inline float vehicleMass(const void* v) { return field<float>(v, VehicleMass); }
inline void* vehicleEntityRef(const void* v) { return pointerField(v, VehicleEntityRef); }
inline float vehicleHealth(const void* v) { return field<float>(v, VehicleHealth); }
inline std::int32_t vehicleKind(const void* v) { return field<std::int32_t>(v, VehicleKind); }
inline void* vehicleDamage(void* v) { return bytesAt(v, VehicleDamage); }
// Row r (0 right, 1 forward, 2 up, 3 position) of an entity's placement matrix.
inline dent::Vec entityMatrixRow(const void* e, int r) {
    return vecField(e, EntityMatrix + static_cast<std::uint32_t>(r) * MatrixRowStride);
}
// Row r of a 64-byte frame matrix (0 right, 1 up, 2 at, 3 position).
inline dent::Vec matrixRow(const void* m, int r) {
    return vecField(m, static_cast<std::uint32_t>(r) * MatrixRowStride);
}

inline std::uint32_t damageLightStatus(const void* d) { return field<std::uint32_t>(d, DamageLightStatus); }
inline std::uint32_t damagePanelStatus(const void* d) { return field<std::uint32_t>(d, DamagePanelStatus); }
inline void setDamageLightStatus(void* d, std::uint32_t word) { setField<std::uint32_t>(d, DamageLightStatus, word); }
inline void setDamagePanelStatus(void* d, std::uint32_t word) { setField<std::uint32_t>(d, DamagePanelStatus, word); }

inline dent::Vec modelInfoRearLight(const void* info) { return vecField(info, ModelInfoRearLight); }

inline void* renderObjectFrame(const void* r) { return pointerField(r, RenderObjectFrame); }

inline void* atomicFrame(const void* a) { return pointerField(a, AtomicFrame); }
inline void* atomicGeometry(const void* a) { return pointerField(a, AtomicGeometry); }
inline bool atomicRendered(const void* a) {
    return (field<std::uint8_t>(a, AtomicObjectFlags) & AtomicRendered) != 0;
}

inline void* frameParent(const void* f) { return pointerField(f, FrameParent); }

inline std::uint8_t* poolFlags(const void* pool) {
    return static_cast<std::uint8_t*>(pointerField(pool, PoolFlags));
}
inline std::int32_t poolSize(const void* pool) { return field<std::int32_t>(pool, PoolSize); }

inline std::uint32_t geometryFlags(const void* g) { return field<std::uint32_t>(g, GeometryFlags); }
inline std::int16_t geometryRefCount(const void* g) { return field<std::int16_t>(g, GeometryRefCount); }
inline std::int32_t triangleCount(const void* g) { return field<std::int32_t>(g, GeometryTriangleCount); }
inline std::int32_t vertexCount(const void* g) { return field<std::int32_t>(g, GeometryVertexCount); }
inline std::int32_t morphTargetCount(const void* g) { return field<std::int32_t>(g, GeometryMorphTargetCount); }
inline std::int32_t texCoordSetCount(const void* g) { return field<std::int32_t>(g, GeometryTexCoordSetCount); }
inline void* materialTable(const void* g) { return pointerField(g, GeometryMaterials); }
inline std::int32_t materialCount(const void* g) { return field<std::int32_t>(g, GeometryMaterialCount); }
inline std::int32_t materialCapacity(const void* g) { return field<std::int32_t>(g, GeometryMaterialCapacity); }
inline void* triangles(const void* g) { return pointerField(g, GeometryTriangles); }
inline void* prelitColours(const void* g) { return pointerField(g, GeometryPrelit); }
inline void* texCoords(const void* g, int set) {
    return pointerField(g, GeometryTexCoords + 4u * static_cast<std::uint32_t>(set));
}
inline void* morphTarget(const void* g, std::uint32_t morphOffset) { return pointerField(g, morphOffset); }
// True when the layout `morphOffset` names holds surface properties; a
// record that passed the buffer guard with that offset has them readable.
inline bool hasSurfaceProperties(std::uint32_t morphOffset) {
    return morphOffset == MorphOffsetAt68;
}
inline SurfaceProperties surfaceProperties(const void* g) {
    return field<SurfaceProperties>(g, GeometrySurfaceProperties);
}
inline void setSurfaceProperties(void* g, SurfaceProperties s) {
    setField<SurfaceProperties>(g, GeometrySurfaceProperties, s);
}

inline void* morphParent(const void* m) { return pointerField(m, MorphParent); }
inline void* morphPositions(const void* m) { return pointerField(m, MorphPositions); }
inline void* morphNormals(const void* m) { return pointerField(m, MorphNormals); }

} // namespace game
