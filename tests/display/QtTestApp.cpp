#include "QtTestApp.h"

#include <QApplication>

#include "util/MainThread.h"

namespace sincrovia::testing {

void EnsureQApplication() {
    if (QApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "display_test";
    static char* argv[] = {name, nullptr};
    // The tests never need a real screen; run offscreen unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Deliberately never deleted: widgets of static fixtures may outlive any scope we pick.
    new QApplication(argc, argv);
    SetMainThread();
}

}  // namespace sincrovia::testing
