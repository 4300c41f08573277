// Whatever a program on the server's port answers: the response goes through the HTTP client
// with its limits (body size, time), and a body is read for the setup facts. A loopback
// listener in this process sends the input as the whole response.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/probe/http_client.h"
#include "core/probe/server_probe.h"

namespace {

std::mutex mutex;
std::string response;
int port = 0;

void serve(int listener) {
    for (;;) {
        const int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) continue;
        char buffer[4096];
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = read(connection, buffer, sizeof buffer);
            if (n <= 0) break;
            request.append(buffer, static_cast<size_t>(n));
        }
        std::string answer;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            answer = response;
        }
        size_t sent = 0;
        while (sent < answer.size()) {
            const ssize_t n =
                send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        shutdown(connection, SHUT_RDWR);
        close(connection);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 1;
    }
    port = ntohs(address.sin_port);
    std::thread(serve, listener).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessaway;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        response.assign(reinterpret_cast<const char*>(data), size);
    }
    HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(port) + "/api/setup/status";
    request.timeout = 1.0;
    const HttpResponse answer = httpRequest(request);
    if (answer.body && answer.body->size() > kMaxBodyBytes) __builtin_trap();
    if (answer.body) (void)setupFacts(*answer.body);
    return 0;
}
