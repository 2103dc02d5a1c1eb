#include "plugin/log.h"

#include "platform/platform.h"
#include "plugin/settings.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace plugin {
namespace {

char g_logPath[260] = "";
// Read by the fault reporter on any thread: always complete constant text.
std::atomic<const char*> g_phase{"startup"};
std::atomic<bool> g_diagnostics{false};
constexpr unsigned kMaxLossLines = 16;
unsigned g_lossLines = 0;
// Lines whose write failed since the last one that got through (any thread).
std::atomic<std::uint32_t> g_linesLost{0};

// Writes `text` as one line; after lines were lost, a note of them goes in
// front of it in the same write, so the log says where it has a gap.
void write(const char* text, bool flushed) {
    const std::uint32_t lost = g_linesLost.exchange(0);
    char noted[platform::kFlushedTextMax];
    if (lost != 0) {
        std::snprintf(noted, sizeof noted, "Log: %u earlier line%s could not be written.%s%s",
                      static_cast<unsigned>(lost), lost == 1 ? "" : "s", flushed ? "\r\n" : "\n",
                      text);
        text = noted;
    }
    const bool written = flushed ? platform::appendLineFlushed(g_logPath, text)
                                 : platform::appendLine(g_logPath, text);
    if (!written) g_linesLost.fetch_add(lost + 1);
}

} // namespace

void setLogPath(const char* path) {
    std::snprintf(g_logPath, sizeof g_logPath, "%s", path != nullptr ? path : "");
}

const char* logPath() { return g_logPath; }

void logLine(const char* text) {
    if (text == nullptr || g_logPath[0] == '\0') return;
    write(text, false);
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

void logLoss(const char* text) {
    if (text == nullptr || !(settings().logHits || g_diagnostics.load())) return;
    if (g_lossLines > kMaxLossLines) return;
    ++g_lossLines;
    logLine(g_lossLines <= kMaxLossLines
                ? text
                : "Hit dropped: further losses to failures are not logged.");
}

void phase(const char* text, bool force) {
    if (text == nullptr) return;
    g_phase.store(text);
    if ((force || g_diagnostics.load()) && g_logPath[0] != '\0') write(text, true);
}

const char* currentPhase() { return g_phase.load(); }

void setCurrentPhase(const char* text) {
    if (text != nullptr) g_phase.store(text);
}

void setDiagnostics(bool on) { g_diagnostics.store(on); }

bool diagnostics() { return g_diagnostics.load(); }

} // namespace plugin
