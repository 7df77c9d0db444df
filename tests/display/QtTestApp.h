// A QApplication for the display tests, created once on first use and kept for the whole run
// (a widget needs one; the test programs' main comes from GoogleTest).
#pragma once

namespace sincrovia::testing {

/// Creates the application object (offscreen unless QT_QPA_PLATFORM names another) and marks the
/// calling thread as the main thread of the hand-over.
void EnsureQApplication();

}  // namespace sincrovia::testing
