#pragma once

// Helpers shared by the view tests: scenarios, widget lookup by object name, clicks.

#include "RouteWorld.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <string>

namespace kestrelamp::test {

// A fixture whose views show a route manager on a simulated world.
class ViewTest : public testing::Test {
protected:
    explicit ViewTest(const std::string& scenario = standardScenario())
        : world(scenario) {}

    AudioRouteManager& manager() { return world.manager(); }

    RouteWorld world;
};

template <class T = QWidget>
T* child(const QObject& parent, const QString& objectName) {
    T* found = parent.findChild<T*>(objectName);
    EXPECT_NE(found, nullptr) << "no " << objectName.toStdString();
    return found;
}

// Visible as far as its own flags go, whether or not its window is shown.
inline bool shown(const QWidget* widget) {
    return widget && !widget->isHidden();
}

inline void click(QWidget* widget) {
    ASSERT_NE(widget, nullptr);
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, widget->rect().center());
}

} // namespace kestrelamp::test
