#pragma once

// The one answer to "is this a vehicle the plug-in dents?", shared by contact
// capture, traffic selection and hit processing.

namespace game {

// True when `vehicle` is non-null, its record is readable up to the end of
// its kind word (every vehicle field the callers read lies below it), its
// kind is 0, its render object is non-null and its model index lies in
// FirstHandledModel .. LastHandledModel. The entity type is not checked:
// callers that may hold another kind of entity test it themselves.
bool handledVehicle(const void* vehicle);

} // namespace game
