#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace OrvexTest {

/// A program on a pseudo-terminal of a fixed size: the test types into it and reads what it
/// writes. The program is killed and reaped when this goes, unless it has ended.
class PtyProcess {
public:
    /// Starts `argv` (its first word searched on PATH) with `environment` (NAME=value entries;
    /// this process's own when empty) in `folder` (this process's when empty).
    PtyProcess(std::vector<std::string> argv, int rows, int cols,
               std::vector<std::string> environment = {}, const std::string& folder = "");
    ~PtyProcess();
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    void type(std::string_view text);
    /// Reads until `done()` holds, handing each piece to `onOutput` as it arrives; false when
    /// the program closed its terminal first, or after a minute (a bound for a hung test).
    bool readUntil(const std::function<bool()>& done);
    /// Reads until `text` appears in the output after the end of the text last found.
    bool readUntilText(const std::string& text);
    /// Waits for the program to end, reading what it writes meanwhile: its exit status (128
    /// plus the signal for a killed program), or -1 while it still runs after 30 s.
    int wait();
    void signal(int number) const;
    /// Everything read so far.
    const std::string& output() const { return output_; }

    /// Called with each piece of output as it is read.
    std::function<void(std::string_view)> onOutput;

private:
    /// Reads one piece, waiting up to `timeoutMs`; false when nothing came or the terminal
    /// closed.
    bool readSome(int timeoutMs);

    int fd_ = -1;
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string output_;
    std::size_t found_ = 0;
};

} // namespace OrvexTest
