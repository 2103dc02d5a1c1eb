#include "plugin/log.h"

#include "platform/platform.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace plugin {
namespace {

char g_logPath[260] = "";
// Read by the fault reporter on any thread: always complete constant text.
std::atomic<const char*> g_phase{"startup"};
std::atomic<bool> g_diagnostics{false};

} // namespace

void setLogPath(const char* path) {
    std::snprintf(g_logPath, sizeof g_logPath, "%s", path != nullptr ? path : "");
}

const char* logPath() { return g_logPath; }

void logLine(const char* text) {
    if (text == nullptr || g_logPath[0] == '\0') return;
    platform::appendLine(g_logPath, text);
}

void logFormat(unsigned bufferSize, const char* format, ...) {
    // Every caller names a buffer well below this; larger requests are cut here.
    char buffer[1024];
    if (bufferSize == 0 || format == nullptr) return;
    std::size_t size = bufferSize < sizeof buffer ? bufferSize : sizeof buffer;
    std::va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    if (n < 0) return; // the text could not be formatted at all
    logLine(buffer);
}

void phase(const char* text, bool force) {
    if (text == nullptr) return;
    g_phase.store(text);
    if ((force || g_diagnostics.load()) && g_logPath[0] != '\0') platform::appendLineFlushed(g_logPath, text);
}

const char* currentPhase() { return g_phase.load(); }

void setCurrentPhase(const char* text) {
    if (text != nullptr) g_phase.store(text);
}

void setDiagnostics(bool on) { g_diagnostics.store(on); }

bool diagnostics() { return g_diagnostics.load(); }

} // namespace plugin
