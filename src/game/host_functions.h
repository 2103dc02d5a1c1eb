#pragma once

// The host functions the plug-in calls: one exported pointer variable per
// function, initialised with its address in the host executable. Everything
// the plug-in asks of the game goes through this table, so that a substitute
// host can stand in for the game at the same addresses.

#include <cstdint>

#include "dent/api.h"
#include "game/host_layout.h"

// The host's calling conventions: caller-cleaned stack arguments, and for the
// damage record's member functions `this` in ECX with callee-cleaned stack
// arguments. Without them every call into the game would pass its arguments
// wrongly, so any other compiler or target stops here instead of compiling
// plain calls.
#if defined(__i386__) && defined(__GNUC__)
#define BW_CDECL __attribute__((cdecl))
#define BW_THISCALL __attribute__((thiscall))
#else
#error "the host's calling conventions need a GCC-compatible compiler for 32-bit x86"
#endif

namespace game {

// The callback `atomics` runs once per atomic; returning the atomic goes on,
// returning null stops the walk.
typedef void*(BW_CDECL* AtomicCallback)(void* atomic, void* data);

typedef void*(BW_CDECL* AtomicsFn)(void* renderObject, AtomicCallback callback, void* data);
typedef void*(BW_CDECL* VehicleByRefFn)(std::int32_t handle);
typedef std::int32_t(BW_CDECL* VehicleRefFn)(void* vehicle);
typedef void*(BW_CDECL* PlayerVehicleFn)();
typedef void*(BW_CDECL* PlayerPedFn)();
typedef void*(BW_CDECL* CreateGeometryFn)(std::int32_t vertices, std::int32_t triangles,
                                           std::uint32_t format);
typedef std::int32_t(BW_CDECL* DestroyGeometryFn)(void* geometry);
typedef void*(BW_CDECL* SetGeometryFn)(void* atomic, void* geometry, std::uint32_t flags);
typedef void*(BW_CDECL* LockFn)(void* geometry, std::int32_t mode);
typedef void*(BW_CDECL* UnlockFn)(void* geometry);
typedef void*(BW_CDECL* TriangleVerticesFn)(void* geometry, Triangle* triangle, std::uint16_t v0,
                                             std::uint16_t v1, std::uint16_t v2);
typedef void*(BW_CDECL* TriangleMaterialFn)(void* geometry, Triangle* triangle, void* material);
typedef void*(BW_CDECL* GeometrySkinFn)(void* geometry);
typedef void*(BW_CDECL* FrameLTMFn)(void* frame);
typedef const char*(BW_CDECL* FrameNameFn)(void* frame);
typedef std::uint32_t(BW_CDECL* AtomicFlagsFn)(void* atomic);
typedef std::uint32_t(BW_THISCALL* GetDoorStatusFn)(void* damage, std::int32_t door);
typedef void(BW_THISCALL* SetDoorStatusFn)(void* damage, std::int32_t door, std::uint32_t status);
typedef std::uint32_t(BW_THISCALL* GetLightStatusFn)(void* damage, std::int32_t light);

extern DENT_API AtomicsFn atomics;
extern DENT_API VehicleByRefFn vehicleByRef;
extern DENT_API VehicleRefFn vehicleRef;
extern DENT_API PlayerVehicleFn playerVehicle;
extern DENT_API PlayerPedFn playerPed;
extern DENT_API CreateGeometryFn createGeometry;
extern DENT_API DestroyGeometryFn destroyGeometry;
extern DENT_API SetGeometryFn setGeometry;
extern DENT_API LockFn lock;
extern DENT_API UnlockFn unlock;
extern DENT_API TriangleVerticesFn triangleVertices;
extern DENT_API TriangleMaterialFn triangleMaterial;
extern DENT_API GeometrySkinFn geometrySkin;
extern DENT_API FrameLTMFn frameLTM;
extern DENT_API FrameNameFn frameName;
extern DENT_API AtomicFlagsFn atomicFlags;
extern DENT_API GetDoorStatusFn getDoorStatus;
extern DENT_API SetDoorStatusFn setDoorStatus;
extern DENT_API GetLightStatusFn getLightStatus;

// Byte offset of the morph-target pointer inside a geometry record; 0 until
// the layout probe has found it.
extern DENT_API std::uint32_t morphOffset;

// Signatures of the hooked host functions (installed by the hook code; the
// substitute host implements them).
typedef bool(BW_THISCALL* PairContactFn)(void* self, void* other, void* colPoint,
                                          float* impulseSelf, float* impulseOther);
typedef bool(BW_THISCALL* SingleContactFn)(void* self, void* other, void* colPoint,
                                            float* impulse, void* moveSpeed, void* turnSpeed);
typedef std::uint32_t(BW_CDECL* GameShutdownFn)();
typedef void(BW_CDECL* ShutDownForRestartFn)();
typedef bool(BW_THISCALL* ComponentDamageFn)(void* damage, std::int32_t component, float a,
                                              float b);
// The reset's result is whatever it leaves in EAX; its callers may read it.
typedef std::uint32_t(BW_THISCALL* DamageResetFn)(void* damage);
// The three rewritten calls reach functions without arguments.
typedef void(BW_CDECL* PlainCallFn)();

} // namespace game

// The RenderWare engine instance pointer's address, exported for tools that
// look for it beside the table.
extern DENT_API const std::uint32_t RwEngineInstance;
