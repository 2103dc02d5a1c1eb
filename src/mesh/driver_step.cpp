#include "mesh/driver_step.h"

#include "plugin/log.h"

namespace mesh {

namespace {
const char* g_step = "atomic: begin";
}

void enterStep(const char* text) {
    g_step = text;
    plugin::phase(text);
}

void noteStep(const char* text) { g_step = text; }

const char* currentStep() { return g_step; }

void logFailedStep() {
    plugin::logFormat(256, "Deformation failed during \"%s\"; atomic left unchanged.", g_step);
}

} // namespace mesh
