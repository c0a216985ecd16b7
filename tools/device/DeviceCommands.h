#pragma once

#include "tools/device/DeviceOptions.h"

namespace caldrovex::device {

// The process's exit statuses (also listed in the usage text).
enum ExitStatus : int {
    kSuccess = 0,
    kRefused = 1,
    kUsage = 2,
    kUnreachable = 3,
    kCertificateMismatch = 4,
    kStateFile = 5,
};

// The device's commands, each run to its end on the calling thread (which runs the device's
// main queue meanwhile). They print every message from the host as one JSON line on standard
// output and their own remarks on standard error, and return the exit status.
//
//  - pair: reads the link, connects to the invitation's addresses in order with the
//    certificate pinned, sends "pair" with a new device id, and stores the token and the
//    host's data as soon as "paired" arrives. Success once stored, whether the host then
//    says "hello" or "busy"; after "hello" the device disconnects.
//  - connect: sends "authenticate" with the stored token; success on "hello", after which
//    the device disconnects.
class DeviceCommands {
public:
    DeviceCommands() = delete;

    static int pair(const DeviceOptions& options);
    static int connect(const DeviceOptions& options);
    //  - stream: authenticates announcing "frameAck" and runs a StreamViewer.
    static int stream(const DeviceOptions& options);
};

}  // namespace caldrovex::device
