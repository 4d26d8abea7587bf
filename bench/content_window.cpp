// quorna-bench-content-window: the bare window with what the start-up window holds, in plain Qt:
// the design's face read from its file where it is not installed (as the program does), the
// picture, seven labels and a button. Launched beside the program by bench/outside_start.py
// (--bare), it tells the toolkit's cost of that content from the program's own start-up work.
// Usage: quorna-bench-content-window WIDTH HEIGHT TITLE [frameless]

#include <cstdlib>
#include <cstring>

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc < 4) {
        return 2;
    }
    const QString wineTahoma = QStringLiteral("/usr/share/wine/fonts/tahoma.ttf");
    if (!QFontDatabase::families().contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive) &&
        QFile::exists(wineTahoma)) {
        QFontDatabase::addApplicationFont(wineTahoma);
    }
    const QSize size(std::atoi(argv[1]), std::atoi(argv[2]));
    QWidget window;
    QFont face(QStringLiteral("Tahoma"));
    face.setPointSizeF(8.25);
    window.setFont(face);
    window.setWindowTitle(QString::fromLocal8Bit(argv[3]));
    if (argc > 4 && std::strcmp(argv[4], "frameless") == 0) {
        window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    }
    auto* picture = new QLabel(&window);
    picture->setPixmap(QPixmap(QStringLiteral(QUORNA_SPLASH_PICTURE)));
    picture->setGeometry(0, 0, size.width(), size.height());
    for (int i = 0; i < 6; ++i) {
        auto* label = new QLabel(QStringLiteral("label %1").arg(i), &window);
        label->setGeometry(20, 20 + 30 * i, 200, 20);
    }
    auto* title = new QLabel(QStringLiteral("Quorna Fobit Reader"), &window);
    QFont large = face;
    large.setPointSizeF(14.25);
    title->setFont(large);
    title->setGeometry(20, 220, 300, 30);
    auto* button = new QPushButton(QStringLiteral("Exit"), &window);
    button->setGeometry(size.width() - 95, size.height() - 40, 80, 25);
    window.setFixedSize(size);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window.setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size,
                                               screen->availableGeometry()));
    }
    window.show();
    return QApplication::exec();
}
