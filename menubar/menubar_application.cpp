#include "menubar/menubar_application.h"

#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QList>
#include <QTimer>

#include <memory>
#include <string>

#include "menubar/display_check.h"
#include "menubar/termination_signal.h"
#include "menubar/tray.h"
#include "platform/control_lock.h"
#include "platform/system.h"

namespace tessaway {

Tray* tray = nullptr;

namespace {

const std::string kCannotShow = "tessaway-tray: cannot show the menu-bar item: ";

struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};

QList<HeldMessage>& heldMessages() {
    static QList<HeldMessage> held;
    return held;
}

/// While the application object is being made, the toolkit's messages are held back: when it
/// cannot start it ends the process from a fatal message, and that becomes one line of ours
/// and exit status 0 instead of an abort.
void holdStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        const QString firstLine = text.section('\n', 0, 0).trimmed();
        platform::writeStandardError(kCannotShow + firstLine.toStdString() + "\n");
        _exit(0);
    }
    heldMessages().append({type, QByteArray(context.category), text});
}

std::unique_ptr<QApplication> makeApplication(int& argc, char** argv) {
    const QtMessageHandler previous = qInstallMessageHandler(holdStartupMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    for (const HeldMessage& message : heldMessages()) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        qt_message_output(message.type, context, message.text);
    }
    heldMessages().clear();
    return app;
}

}  // namespace

int runMenuBar(int argc, char** argv) {
    if (const auto problem = displayProblem()) {
        platform::writeStandardError(kCannotShow + *problem + "\n");
        return 0;
    }
    int qtArgc = argc;
    const std::unique_ptr<QApplication> app = makeApplication(qtArgc, argv);
    releaseDisplayCheck();
    // Only the quit action or SIGTERM ends the application: closing the message box does not.
    app->setQuitOnLastWindowClosed(false);
    app->setApplicationName(QStringLiteral("Tessaway Server"));
    TerminationSignal terminate(*app);

    auto owned = std::make_unique<Tray>();
    tray = owned.get();
    QTimer::singleShot(0, tray, &Tray::applicationDidFinishLaunching);
    app->exec();
    // An action still waiting for the control lock must not start now that the item ends.
    platform::ControlLock::abandonWaits();
    tray = nullptr;
    owned.reset();
    return 0;
}

}  // namespace tessaway

extern "C" __attribute__((visibility("default"))) int tessaway_menubar_main(int argc, char** argv) {
    return tessaway::runMenuBar(argc, argv);
}
