// Probes for the fault tests: what the process costs (CPU time, resident memory) and whether
// the window's event loop still serves a queued call. They run the real Qt event loop (not the
// harness's pumping loop, which polls), so a quiet second really is quiet.
#pragma once

#include <QObject>

#include <string>

#include "SyncHarness.h"

namespace sincrovia::e2e {

/// User plus system CPU time of the whole process so far, in seconds.
double ProcessCpuSeconds();

/// Resident memory of the process, in KiB (0 when it cannot be read).
long ResidentKiB();

/// Runs the Qt event loop (blocking waits, hand-overs served) for `ms`.
void RunEventLoopFor(int ms);

/// CPU seconds the process spends over one second of the idle event loop.
double CpuOverQuietSecond();

/// Posts a queued call to the main thread's event loop and runs the loop until it is served;
/// returns the delay in milliseconds, or -1 when it was not served within `timeoutMs`.
int QueuedCallDelayMs(int timeoutMs);

/// Whether any recorded box's text contains `part`.
bool AnyBoxContains(const RecordingDesktop& desktop, const std::string& part);

/// The recorded boxes as "caption | text" lines, for failure messages.
std::string BoxesText(const RecordingDesktop& desktop);

/// A quiet second costs at most this much CPU: the serial workers and timer threads wait,
/// they do not poll busily. Generous for a loaded two-core machine.
inline constexpr double kQuietCpuSecondsBound = 0.25;

}  // namespace sincrovia::e2e
