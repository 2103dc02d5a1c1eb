#include "game/host_functions.h"

namespace game {

namespace {
template <class Fn>
Fn at(Address a) {
    return reinterpret_cast<Fn>(static_cast<std::uintptr_t>(a));
}
} // namespace

AtomicsFn atomics = at<AtomicsFn>(addr::Atomics);
VehicleByRefFn vehicleByRef = at<VehicleByRefFn>(addr::VehicleByRef);
VehicleRefFn vehicleRef = at<VehicleRefFn>(addr::VehicleRef);
PlayerVehicleFn playerVehicle = at<PlayerVehicleFn>(addr::PlayerVehicle);
PlayerPedFn playerPed = at<PlayerPedFn>(addr::PlayerPed);
CreateGeometryFn createGeometry = at<CreateGeometryFn>(addr::CreateGeometry);
DestroyGeometryFn destroyGeometry = at<DestroyGeometryFn>(addr::DestroyGeometry);
SetGeometryFn setGeometry = at<SetGeometryFn>(addr::SetGeometry);
LockFn lock = at<LockFn>(addr::Lock);
UnlockFn unlock = at<UnlockFn>(addr::Unlock);
TriangleVerticesFn triangleVertices = at<TriangleVerticesFn>(addr::TriangleVertices);
TriangleMaterialFn triangleMaterial = at<TriangleMaterialFn>(addr::TriangleMaterial);
GeometrySkinFn geometrySkin = at<GeometrySkinFn>(addr::GeometrySkin);
FrameLTMFn frameLTM = at<FrameLTMFn>(addr::FrameLTM);
FrameNameFn frameName = at<FrameNameFn>(addr::FrameName);
AtomicFlagsFn atomicFlags = at<AtomicFlagsFn>(addr::AtomicFlags);
GetDoorStatusFn getDoorStatus = at<GetDoorStatusFn>(addr::GetDoorStatus);
SetDoorStatusFn setDoorStatus = at<SetDoorStatusFn>(addr::SetDoorStatus);
GetLightStatusFn getLightStatus = at<GetLightStatusFn>(addr::GetLightStatus);

std::uint32_t morphOffset = 0;

} // namespace game

const std::uint32_t RwEngineInstance = game::addr::EngineInstance;
