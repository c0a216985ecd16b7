#pragma once

namespace caldrovex {

// The caldrovex-host program: reads the command line, makes sure one host runs per user,
// and then either hands a command (or a request for the panel) to the host that runs, or
// becomes that host: the Qt event loop as the main queue, the real components for this user,
// the tray and panel on a desktop (else headless, with commands on standard input), and the
// command socket for later launches.
//
// Exit status: 0 done; 1 the host could not start, or refused or failed a command; 2 a wrong
// command line; 3 a command found no running host.
class HostApp {
public:
    HostApp() = delete;

    static int run(int argc, char** argv);
};

}  // namespace caldrovex
