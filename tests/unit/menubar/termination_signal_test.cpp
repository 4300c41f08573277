#include "menubar/termination_signal.h"

#include <signal.h>

#include <QCoreApplication>
#include <QTimer>

#include "core/identity.h"
#include "tests/unit/menubar/tray_test_fixture.h"

namespace tessaway {
namespace {

using testing::TrayTest;

TEST_F(TrayTest, SigtermEndsTheEventLoopWithoutTouchingTheServerAgent) {
    loadServer();
    server.setResponse("GET", "/api/ping", 200);
    launch();
    TerminationSignal terminate(*QCoreApplication::instance());
    ASSERT_TRUE(terminate.installed());
    QTimer sender;
    sender.setSingleShot(true);
    QObject::connect(&sender, &QTimer::timeout, [] { raise(SIGTERM); });
    sender.start(50);
    EXPECT_TRUE(runEventLoop(30.0));
    for (const auto& call : launchctl.calls) {
        EXPECT_TRUE(call[0] == "print" || call[0] == "print-disabled")
            << call[0] << ": only the polls ask the service manager";
    }
    EXPECT_TRUE(launchctl.loadedLabels.count(serverLabel));
}

TEST(TerminationSignal, TheOldHandlerComesBackAfterwards) {
    struct sigaction before {};
    sigaction(SIGTERM, nullptr, &before);
    {
        TerminationSignal terminate(*QCoreApplication::instance());
        struct sigaction during {};
        sigaction(SIGTERM, nullptr, &during);
        EXPECT_NE(during.sa_handler, before.sa_handler);
    }
    struct sigaction after {};
    sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
}  // namespace tessaway
