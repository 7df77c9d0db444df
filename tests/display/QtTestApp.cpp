#include "QtTestApp.h"

#include <QApplication>

#include "util/MainThread.h"

namespace sincrovia::testing {

void EnsureQApplication() {
    if (QApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "display_test";
    static char* argv[] = {name, nullptr};
    // Deliberately never deleted: widgets of static fixtures may outlive any scope we pick.
    new QApplication(argc, argv);
    SetMainThread();
}

}  // namespace sincrovia::testing
