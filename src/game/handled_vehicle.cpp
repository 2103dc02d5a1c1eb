#include "game/handled_vehicle.h"

#include "game/host_layout.h"
#include "game/readable_range.h"

#include <cstddef>
#include <cstdint>

namespace game {

namespace {

constexpr std::size_t kVehicleFieldsSpan = VehicleKind + sizeof(std::int32_t);

} // namespace

bool handledVehicle(const void* vehicle) {
    if (vehicle == nullptr || !readableRange(vehicle, kVehicleFieldsSpan)) return false;
    if (vehicleKind(vehicle) != 0) return false;
    if (renderObject(vehicle) == nullptr) return false;
    const int model = modelIndex(vehicle);
    return model >= FirstHandledModel && model <= LastHandledModel;
}

} // namespace game
