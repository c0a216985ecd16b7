#include "support/ProcessSample.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace caldrovex::test {

std::optional<ProcessSample> ProcessSample::of(pid_t pid) {
    const std::filesystem::path proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc / "status");
    if (!status) return std::nullopt;
    ProcessSample sample;
    std::string line;
    while (std::getline(status, line)) {
        // "VmRSS:     12345 kB", "Threads:        7"
        if (line.starts_with("VmRSS:")) sample.rssMiB = std::stod(line.substr(6)) / 1024.0;
        if (line.starts_with("Threads:")) sample.threads = std::stoi(line.substr(8));
    }
    std::error_code error;
    for (std::filesystem::directory_iterator it(proc / "fd", error), end; !error && it != end;
         it.increment(error))
        ++sample.descriptors;
    if (error) return std::nullopt;
    return sample;
}

}  // namespace caldrovex::test
