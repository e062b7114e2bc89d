// Headless mode: the main window's logic without widgets. Status changes are
// printed as lines on standard output; host and port come from the settings.
// SIGINT, SIGTERM and SIGHUP disconnect, stop the link and end the event loop.
// User-interface (main) thread.
#pragma once

#include <QObject>
#include <cstdio>
#include <functional>

#include "app/CallController.h"

class QSocketNotifier;

namespace ambrel {

class HeadlessView : public CallView {
public:
    explicit HeadlessView(std::FILE* out = stdout) : out_(out) {}

    void showStatus(const std::string& text) override;
    // Printed every time, even when it repeats.
    void showNotice(const std::string& text) override;
    void setCallButtons(bool, bool, bool) override {}
    void enterOneToManyMode() override {}
    void showMuteStates(bool, bool) override {}
    void setHostAndPort(const std::string& host, int port) override {
        host_ = host;
        port_ = port;
    }
    std::string hostText() override { return host_; }
    std::optional<int> portValue() override { return port_; }

    // Called after a status that ends what an unattended copy can do ("Error>
    // Can't listen on the port!", "Error> Can't connect to the peer!"): no
    // notification follows it, so nothing would ever happen again.
    std::function<void(const std::string& status)> onFailure;

private:
    std::FILE* out_;
    std::string host_;
    int port_ = 0;
    std::string last_;
};

// Turns SIGINT, SIGTERM and SIGHUP (the terminal went away) into a call on
// the main thread: the handler only writes a byte to a pipe that a socket
// notifier watches. One per process.
class TerminationWatch : public QObject {
    Q_OBJECT
public:
    explicit TerminationWatch(QObject* parent = nullptr);
    ~TerminationWatch() override;

signals:
    void terminationRequested();

private:
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace ambrel
