#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "latency_bench/FrameLog.h"
#include "support/ChildProcess.h"

namespace caldrovex::bench {

// The host as a user runs it: the real caldrovex-host, headless, serving one loopback
// address, and the reference device paired with it once. Each run is one
// `caldrovex-device stream --log-frames`, whose per-picture lines (CLOCK_MONOTONIC stamps of
// arrival and decoding, probe colour) fill a FrameLog, as do its "streaming" messages. The
// device takes commands on its standard input ("drop", "reconnect").
//
// Main thread only. The host runs from construction to destruction.
class HostSource {
public:
    // Starts the host of `binaries` (folders of its own under `scratch`/`name`, the keyring of
    // the environment) and pairs the device, which keeps its state there too; both write their
    // errors into `logs`. Throws std::runtime_error with the reason when either fails.
    HostSource(const std::string& name, const std::filesystem::path& binaries,
               const std::filesystem::path& scratch, const std::filesystem::path& logs);
    ~HostSource();
    HostSource(const HostSource&) = delete;
    HostSource& operator=(const HostSource&) = delete;

    pid_t pid() const { return host_->pid(); }

    // Starts a device streaming at `fps` for at most `seconds`, its pictures going to `log`.
    std::unique_ptr<test::ChildProcess> stream(int fps, double seconds, double probeX,
                                               double probeY, FrameLog& log);

private:
    std::string name_;
    std::filesystem::path binaries_;
    std::filesystem::path logs_;
    std::filesystem::path stateFile_;
    std::unique_ptr<test::ChildProcess> host_;
};

}  // namespace caldrovex::bench
