#include "http/TestServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

extern char** environ;

namespace ambrel::test {

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// --- PythonHttpServer ------------------------------------------------------------

PythonHttpServer::PythonHttpServer(const std::string& directory, const std::string& host)
    : host_(host.find(':') == std::string::npos ? host : "[" + host + "]") {
    int in[2];
    int out[2];
    if (pipe(in) != 0) return;
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string script = AMBREL_HTTP_TEST_SERVER;
    char* argv[] = {const_cast<char*>("python3"), script.data(), const_cast<char*>(directory.c_str()),
                    const_cast<char*>(host.c_str()), nullptr};
    int rc = posix_spawnp(&pid_, "python3", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        return;
    }
    // The first line is "PORT <n>"; give the interpreter 20 s to start.
    std::string line;
    int64_t deadline = nowMs() + 20000;
    while (line.find('\n') == std::string::npos && nowMs() < deadline) {
        pollfd p{stdoutFd_, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[64];
        ssize_t n = read(stdoutFd_, buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
}

PythonHttpServer::~PythonHttpServer() {
    if (stdinFd_ >= 0) close(stdinFd_);  // the server stops when its stdin closes
    if (pid_ > 0) {
        int status = 0;
        int64_t deadline = nowMs() + 5000;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (nowMs() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            usleep(20000);
        }
    }
    if (stdoutFd_ >= 0) close(stdoutFd_);
}

std::string PythonHttpServer::url(const std::string& path) const {
    return "http://" + host_ + ":" + std::to_string(port_) + path;
}

// --- ScriptedServer ----------------------------------------------------------------

ScriptedServer::ScriptedServer(std::vector<Step> steps) : steps_(std::move(steps)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd_, 16) != 0) return;
    socklen_t len = sizeof a;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
}

std::string ScriptedServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedServer::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ScriptedServer::run() {
    struct Connection {
        std::string input;
        bool held = false;  // silent: nothing more is read or sent
    };
    std::map<int, Connection> connections;
    std::size_t next = 0;
    // Bounded: the thread ends when the test object is destroyed, and in any
    // case after two minutes.
    int64_t end = nowMs() + 120000;
    while (!stop_ && nowMs() < end) {
        std::vector<pollfd> fds{{listenFd_, POLLIN, 0}};
        for (auto& [fd, c] : connections) {
            if (!c.held) fds.push_back({fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 50) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connections[fd] = Connection{};
                ++connections_;
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            int fd = fds[i].fd;
            Connection& c = connections[fd];
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                close(fd);
                connections.erase(fd);
                continue;
            }
            c.input.append(buf, static_cast<std::size_t>(n));
            for (;;) {
                std::size_t headEnd = c.input.find("\r\n\r\n");
                if (headEnd == std::string::npos) break;
                std::size_t total = headEnd + 4;
                std::size_t cl = c.input.find("Content-Length: ");
                if (cl != std::string::npos && cl < headEnd) total += std::strtoul(c.input.c_str() + cl + 16, nullptr, 10);
                if (c.input.size() < total) break;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(c.input.substr(0, total));
                }
                c.input.erase(0, total);
                Step step = next < steps_.size() ? steps_[next] : Step{"HTTP/1.0 500 Out of script\r\n\r\n"};
                ++next;
                if (step.silent) {
                    c.held = true;
                    break;
                }
                send(fd, step.reply.data(), step.reply.size(), MSG_NOSIGNAL);
                if (step.close) {
                    close(fd);
                    connections.erase(fd);
                    break;
                }
            }
        }
    }
    for (auto& [fd, c] : connections) close(fd);
}

}  // namespace ambrel::test
