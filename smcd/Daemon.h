// The daemon itself: its SMC, state and fan broker, the listening socket,
// and the one event loop that serves every client in turn.
#pragma once

#include "smcd/FanBroker.h"
#include "smcd/Options.h"
#include "smcd/PassedSocket.h"
#include "smcd/StateFile.h"
#include "LogindSleep.h"
#include "SleepClock.h"

#include <fcntl.h>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace smcd {

// Runs in the foreground: start() opens everything and says where it
// serves, run() serves until a stopping signal and returns the exit status.
class Daemon {
public:
    explicit Daemon(Options options) : options_(std::move(options)) {}
    ~Daemon();

    bool start();
    int run();

private:
    bool openService();
    bool openState(std::vector<FanRecord>& earlier);
    bool prepareSocketDirectory();
    bool listen();
    // Refuses a socket in a directory others can write, or over a file or a
    // live daemon's socket; removes one a dead daemon left.
    bool clearSocketPath(const std::string& path);
    void accept();
    void serve(int client);
    void drop(int client);
    bool admit(int client, Peer& peer);
    void dropIfGone(ClientId id);
    // Closes the fan controller once it has been silent too long.
    void dropSilentController();
    // The wait for epoll until the controller's deadline, and at most a
    // second, so that a resume is seen soon without any client.
    int timeout() const;
    // After a sleep, as the clocks or logind tell it, the held fans the SMC
    // forgot are taken again.
    void takeFansAfterSleep();
    void say(const std::vector<std::string>& notes);

    Options options_;
    // Taken first, before this process opens any descriptor that could take
    // the place of one that was not passed.
    PassedSocket passed_ = takePassedSocket();
    std::string serviceName_;
    std::shared_ptr<platform::SMCService> service_;
    std::shared_ptr<SMCKeyStore> smc_;  // when the SMC is emulated: its keys, in this process
    std::unique_ptr<StateFile> state_;
    std::unique_ptr<FanBroker> broker_;
    WritePolicy policy_;
    struct Client {
        ClientId id;  // descriptors are reused; a lease belongs to one connection
        Peer peer;    // as the connection's credentials tell
    };
    std::unordered_map<int, Client> clients_;
    // Connections by user other than root, so that no user, a member of
    // --group among them, can take every descriptor and lock out the others
    // and root; root is always served, from the descriptors kept for it.
    std::unordered_map<uid_t, size_t> connectionsOf_;
    size_t othersConnected_ = 0;
    size_t perUserLimit_ = 0;
    size_t othersLimit_ = 0;
    std::unordered_set<uid_t> refusedUsers_;  // logged once until all their connections close
    ClientId lastClient_ = 0;
    std::vector<int> droppedEarly_;  // in this turn of the loop, ahead of their own events
    int listener_ = -1;
    int epoll_ = -1;
    int signals_ = -1;
    int spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    bool bound_ = false;
    platform::ResumeWatch resumeWatch_;
    std::unique_ptr<platform::LogindSleep> logind_;
    int logindFd_ = -1;  // in the epoll set while the bus is there
    std::optional<std::chrono::steady_clock::time_point> lastResume_;
};


}  // namespace smcd
