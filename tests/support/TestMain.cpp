// Tests run inside a Qt application so that timers, queued calls and signals behave as in the
// program. Every test process gets its own temporary home (see TempHome).

#include "TempHome.h"

#include <gtest/gtest.h>

#ifdef KESTRELAMP_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    kestrelamp::test::TempHome home;
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
