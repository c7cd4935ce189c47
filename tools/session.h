// The library's session as the tool's sub-commands open it: which device COM<n> is,
// a word on standard error for every wait past a second, and the reason of a failed open.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace moldrin::tools {

class Options;

// Says on standard error, "<command>: waiting for <what>", once the call it spans
// has lasted a second, and how long it has waited every ten seconds after that;
// says nothing for a call that ends sooner.
class WaitNotice {
public:
    WaitNotice(std::string command, std::string what);
    ~WaitNotice();
    WaitNotice(const WaitNotice&) = delete;
    WaitNotice& operator=(const WaitNotice&) = delete;
    // Ends the wait; true when the notice was shown (the caller may then say how it ended).
    bool Done();

private:
    std::string command_, what_;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false, shown_ = false;
    std::thread watcher_;
};

// ECFOpen for a sub-command: names the device when $MOLDRIN_COM<port> is unset, shows the
// line-speed search when it lasts, and on failure prints the reason (from the traffic log,
// and the system's own for a missing device) and closes. True when the session is open.
bool OpenSession(const Options& options, int port, unsigned timeout, unsigned logMode, int showDialogs = 0);

}  // namespace moldrin::tools
