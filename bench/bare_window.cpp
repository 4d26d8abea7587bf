// quorna-bench-bare-window: the yardstick for the program's start-up. A Qt label window and
// nothing else, of a given client size, centred like the program's windows, so that a launch of
// it costs what any Qt Widgets window costs on this machine.
// Usage: quorna-bench-bare-window WIDTH HEIGHT TITLE [frameless]

#include <cstdlib>
#include <cstring>

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QStyle>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc < 4) {
        return 2;
    }
    const QSize size(std::atoi(argv[1]), std::atoi(argv[2]));
    QLabel label(QStringLiteral("bare window"));
    label.setAlignment(Qt::AlignCenter);
    label.setWindowTitle(QString::fromLocal8Bit(argv[3]));
    if (argc > 4 && std::strcmp(argv[4], "frameless") == 0) {
        label.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    }
    label.setFixedSize(size);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        label.setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size,
                                              screen->availableGeometry()));
    }
    label.show();
    return QApplication::exec();
}
