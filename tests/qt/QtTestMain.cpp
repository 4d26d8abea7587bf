// Runs the GoogleTest cases of one Qt test program inside a QApplication. The tests are registered
// with QT_QPA_PLATFORM=offscreen, so no display is needed.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
