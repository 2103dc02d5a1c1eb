#pragma once

// The plug-in's text log beside the module: whole CR LF lines, no time
// stamps, append-only; plus the in-memory phase breadcrumb.

namespace plugin {

// Sets the log path (bounded copy, 260 bytes). Called once at process attach.
void setLogPath(const char* path);
const char* logPath();

// Appends one message line. An unopenable log loses the line silently.
void logLine(const char* text);

// printf-style message line, formatted into a bounded buffer of `bufferSize`
// bytes (longer text is cut, never overflowed).
void logFormat(unsigned bufferSize, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// A line about a hit, or part of one, lost to a failure: written when LogHits
// or Diagnostics is on, for the first 16 in the life of the process, then
// one line saying that further ones are not written (a failure that lasts
// must not grow the log without bound).
void logLoss(const char* text);

// Makes `text` (static, constant text) the current phase; writes it as a
// flushed line when `force` is set or Diagnostics is on.
void phase(const char* text, bool force = false);
const char* currentPhase();

// Makes `text` the current phase without ever writing it (the per-frame
// phases, and the exception report's own closing phase).
void setCurrentPhase(const char* text);

void setDiagnostics(bool on);
bool diagnostics();

// The exception reporter: registered once at attach, never removed.
void installExceptionReporter();

} // namespace plugin
