#pragma once

// The step the per-atomic driver is in, for the line that reports a failure:
// the phase marker alone would name the copy's last step after a clone.

namespace mesh {

// Sets the step and the phase marker.
void enterStep(const char* text);
// Sets the step alone (steps too small to mark the phase for).
void noteStep(const char* text);
const char* currentStep();

// The line a step that threw leaves; the atomic keeps the geometry it had.
void logFailedStep();

} // namespace mesh
