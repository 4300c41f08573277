// How long the menu takes to open while the server never answers: the time from the request to
// open it to the menu being shown (popup returned) and drawn (its first paint). The service
// manager is a scripted shell tool, asked twice on the main thread at every opening (the login
// check mark and the poll), as the real one would be.
//
// Usage: bench_menu_open_latency [OPENINGS]   (QT_QPA_PLATFORM chooses the display)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QMenu>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/identity.h"
#include "menubar/tray.h"

namespace {

using Clock = std::chrono::steady_clock;

/// A port that takes connections (the kernel completes them) but never answers.
int silentServer(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd, 1024);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

class FirstPaint : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !painted) {
            painted = true;
            at = Clock::now();
        }
        return false;
    }
    bool painted = false;
    Clock::time_point at;
};

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void report(const char* what, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) { return values[static_cast<size_t>(q * (values.size() - 1))]; };
    std::printf("%-28s min %6.2f  median %6.2f  p95 %6.2f  max %6.2f ms\n", what, values.front(),
                at(0.5), at(0.95), values.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int openings = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    char pattern[] = "/tmp/tessaway-bench-XXXXXX";
    const std::filesystem::path root = mkdtemp(pattern);
    std::filesystem::create_directories(root / "home/Library/LaunchAgents");
    std::filesystem::create_directories(root / "state/loaded");
    std::ofstream(root / "state/loaded/com.quorvel.tessaway-server").close();
    int port = 0;
    const int silent = silentServer(port);
    std::ofstream(root / "home/Library/LaunchAgents/com.quorvel.tessaway-server.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>EnvironmentVariables</key><dict><key>TESSAWAY_PORT</key><string>"
        << port << "</string></dict></dict></plist>\n";
    setenv("HOME", (root / "home").c_str(), 1);
    setenv("TESSAWAY_LAUNCHCTL", TESSAWAY_FAKE_LAUNCHCTL, 1);
    setenv("FAKE_LAUNCHCTL_STATE", (root / "state").c_str(), 1);
    tessaway::fillIdentity();

    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    std::vector<double> shown, drawn;
    {
        tessaway::Tray tray;
        tray.applicationDidFinishLaunching();
        // The Tray keeps its menu to itself; it is the one top-level menu of the application.
        QMenu* menu = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* found = qobject_cast<QMenu*>(widget)) menu = found;
        }
        if (menu == nullptr) {
            std::fprintf(stderr, "menu_open_latency: the Tray made no menu\n");
            return 1;
        }
        const auto begin = Clock::now();
        for (int i = 0; i < openings; ++i) {
            FirstPaint paint;
            menu->installEventFilter(&paint);
            const auto start = Clock::now();
            menu->popup(QPoint(100, 30));
            shown.push_back(ms(Clock::now() - start));
            while (!paint.painted && Clock::now() - start < std::chrono::seconds(2)) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            }
            drawn.push_back(ms((paint.painted ? paint.at : Clock::now()) - start));
            menu->removeEventFilter(&paint);
            menu->hide();
            const auto pause = Clock::now();
            while (Clock::now() - pause < std::chrono::milliseconds(300)) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        // Every ping that reached the silent server waits in its queue, unanswered.
        int pings = 0;
        for (int fd; (fd = accept4(silent, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++pings)
            close(fd);
        std::printf("%d openings in %.1f s; %d pings sent, none answered\n", openings,
                    ms(Clock::now() - begin) / 1000.0, pings);
        report("open request -> shown", shown);
        report("open request -> first paint", drawn);
    }
    close(silent);
    std::filesystem::remove_all(root);
    return 0;
}
