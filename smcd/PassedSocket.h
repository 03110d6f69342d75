// The listening socket a service manager hands over at start (systemd's
// socket activation: LISTEN_PID, LISTEN_FDS, the socket at descriptor 3),
// so that clients can connect before the daemon runs and while it restarts.
#pragma once

#include <string>

namespace smcd {

struct PassedSocket {
    int fd = -1;        // the listening socket; -1 when none was passed
    std::string path;   // its bound name, for messages ("descriptor 3" if unnamed)
    std::string error;  // why what was passed cannot be served; empty when usable
};

// Takes the socket passed to this process, if any: a listening Unix socket
// of type SOCK_SEQPACKET, the daemon's protocol. Made non-blocking and
// close-on-exec; the variables are removed from the environment whatever
// they said, so that no child takes the socket for its own.
PassedSocket takePassedSocket();

}  // namespace smcd
