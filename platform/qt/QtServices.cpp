#include "platform/qt/QtServices.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QString>

#include "platform/ComponentError.h"
#include "platform/ExecutableName.h"

namespace quorna::platform::qt {

void QtEventPump::processPendingEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtSleeper::sleep(std::int32_t milliseconds) {
    if (milliseconds > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

namespace {

QClipboard& systemClipboard() {
    QClipboard* clipboard = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr
                                ? QGuiApplication::clipboard()
                                : nullptr;
    if (clipboard == nullptr) {
        throw ComponentError(kClipboardCantOpenNumber, executableName(),
                             kClipboardCantOpenDescription);
    }
    return *clipboard;
}

}  // namespace

void QtClipboard::clear() {
    systemClipboard().clear(QClipboard::Clipboard);
}

void QtClipboard::setText(const std::string& text) {
    systemClipboard().setText(QString::fromStdString(text), QClipboard::Clipboard);
}

std::string QtClipboard::text() {
    // On Wayland the toolkit answers from its own copy while it offers the clipboard, even when
    // the compositor refused the offer: several compositors take the clipboard only from the
    // window with the keyboard focus. Without the focus a read proves nothing, so it reads
    // nothing and no copy is confirmed.
    if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland")) &&
        QGuiApplication::focusWindow() == nullptr) {
        return {};
    }
    return systemClipboard().text(QClipboard::Clipboard).toStdString();
}

std::string toQtLineBreaks(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;  // the LF that follows makes the break
        }
        result += text[i];
    }
    return result;
}

void QtMessageBox::showWarning(const std::string& text, const std::string& title) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(title),
                    QString::fromStdString(toQtLineBreaks(text)), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);  // a failure text is never markup
    box.exec();
}

void QtProcessControl::endNow() {
    std::_Exit(EXIT_SUCCESS);
}

}  // namespace quorna::platform::qt
