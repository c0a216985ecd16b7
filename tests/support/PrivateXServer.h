#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace caldrovex::test {

// An Xvfb of a test's own (1920×1080×24, on a display number Xvfb picks itself), for what the
// X server that tests/run-with-xvfb starts cannot show, such as a display without an
// extension. Stopped with the object.
class PrivateXServer {
public:
    // `arguments` go to Xvfb after the screen size. Throws std::runtime_error when it does not
    // come up within a few seconds.
    explicit PrivateXServer(const std::vector<std::string>& arguments);
    ~PrivateXServer();

    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    // The display name, ":N".
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = 0;
    std::string name_;
};

}  // namespace caldrovex::test
