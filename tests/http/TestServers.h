// Servers on 127.0.0.1 for the HTTP client's and the banner's tests.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace ambrel::test {

// The Python http.server script of this folder as a child process on a free
// loopback port, serving files from `directory`. Stopped by the destructor.
// `host` is the address it listens on ("::1" for IPv6).
class PythonHttpServer {
public:
    explicit PythonHttpServer(const std::string& directory, const std::string& host = "127.0.0.1");
    ~PythonHttpServer();
    PythonHttpServer(const PythonHttpServer&) = delete;
    PythonHttpServer& operator=(const PythonHttpServer&) = delete;

    // 0 when the server did not start.
    int port() const { return port_; }
    std::string url(const std::string& path) const;

private:
    std::string host_;
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int port_ = 0;
};

// A TCP server thread that answers each request (a head, and a body by its
// "Content-Length") with the next scripted step, in the order requests arrive
// over all connections. For answers no real server gives.
class ScriptedServer {
public:
    struct Step {
        std::string reply;   // bytes sent back
        bool close = true;   // close the connection after sending
        bool silent = false; // send nothing and hold the connection open
    };

    explicit ScriptedServer(std::vector<Step> steps);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const;
    // Requests received so far (head and body, exactly as sent).
    std::vector<std::string> requests();
    // Connections accepted so far.
    int connections() const { return connections_; }

private:
    void run();

    std::vector<Step> steps_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace ambrel::test
