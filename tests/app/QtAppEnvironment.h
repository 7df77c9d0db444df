// One QApplication for a whole GUI test program (the tests link gtest's own main): created in a
// global test environment before the first test, on the thread that is also the main thread of
// the hand-over. Include this header from every GUI test file.
#pragma once

#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

#include "util/MainThread.h"

namespace sincrovia::testing_support {

class QtAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        SetMainThread();
        // GUI tests never need a display; a run outside CTest (or a lost environment setting)
        // still gets the offscreen platform.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "sincrovia_gui_test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName("Sincrovia");
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const kQtAppEnvironment = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace sincrovia::testing_support
