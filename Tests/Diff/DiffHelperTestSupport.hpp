#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "OrvexCore/Platform/Process.hpp"
#include "Support/ProcessProbe.hpp"

/// The diff helper tests' view of the real helper program on pipes.
namespace OrvexTest {

/// The helper program built with the tests, started with its standard input and output on
/// pipes. Reads give up after a deadline so that a broken helper fails a test instead of
/// hanging it.
class HelperPipe {
public:
    explicit HelperPipe(const std::string& executable = ORVEX_HELPER_PATH);

    void send(std::string_view bytes);
    void closeInput();
    /// The next line without its line feed; nothing at end of output.
    std::optional<std::string> readLine(std::chrono::seconds deadline = std::chrono::seconds(60));
    /// Everything up to end of output.
    std::string readToEnd(std::chrono::seconds deadline = std::chrono::seconds(60));
    /// The exit status (or signal number) once the helper has ended.
    int wait();
    pid_t pid() const { return process_.pid(); }

private:
    /// Reads more bytes into the buffer; false at end of output.
    bool fill(std::chrono::steady_clock::time_point until);

    OrvexCore::Platform::ChildProcess process_;
    std::string buffer_;
};

} // namespace OrvexTest
