// An attached `orvex run` against the same shell on a bare pseudo-terminal, and the server at
// rest with idle terminals.
//
// AttachKeystrokeEcho: a key typed into `orvex run` (on a pseudo-terminal the benchmark
// holds) travels to the server, to the shell's terminal, is echoed by its line discipline and
// comes back through the server and the client; the bare side types into `/bin/sh` on a
// pseudo-terminal of its own. 400 keys each, alternating sides key by key. Counters: median
// and p99 of each side in ms and their differences (targets +1 ms and +5 ms).
//
// AttachCatThroughput: `cat` of a 200 MB text file through the same two paths, alternating
// which side runs first over 3 rounds. Counters: MB/s of each side and attached/bare (target
// at least 0.5).
//
// ServerIdleWithTwentyTerminals: the server with a grid of 20 idle shells: processor time
// over 10 s (target 0 %), and resident memory added per terminal, its screen model included
// (target at most 2 MB).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "BenchFixtures.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "OrvexServer/ServerPaths.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using OrvexCore::Platform::runToCompletion;

std::string orvexPath() {
    return std::string(ORVEX_BIN_DIR) + "/orvex";
}

nlohmann::json orvex(const std::vector<std::string>& args) {
    auto result = runToCompletion(orvexPath(), args);
    if (result.status != 0) {
        throw std::runtime_error("orvex failed: " + result.error);
    }
    return nlohmann::json::parse(result.output, nullptr, false);
}

/// A throwaway home with one repository and a server; environment variables point into it
/// while the object lives, so children inherit them.
class BenchHome {
public:
    BenchHome() {
        dir_ = OrvexBench::detail::Scratch::shared().makeDir();
        for (const char* name :
             {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "SHELL", "TERM"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        setenv("HOME", (dir_ + "/home").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir_ + "/home/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir_ + "/home/config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
        setenv("SHELL", "/bin/sh", 1);
        setenv("TERM", "xterm-256color", 1);
        std::filesystem::create_directories(dir_ + "/home");
        repo_ = OrvexBench::detail::newRepo();
        // A session's worktree branches from a commit.
        OrvexBench::detail::writeFile(repo_ + "/README", "bench\n");
        OrvexBench::detail::commitAll(repo_);
        orvex({"open", repo_});
    }
    ~BenchHome() {
        runToCompletion(orvexPath(), {"server", "stop"}, false);
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    /// Makes a session with a grid of `rows` x `cols` and returns its id.
    std::string session(const std::string& branch, int rows, int cols) {
        orvex(
            {"new", "-b", branch, "--rows", std::to_string(rows), "--cols", std::to_string(cols)});
        auto store = nlohmann::json::parse(std::ifstream(dir_ + "/home/data/Orvex/store.json"),
                                           nullptr, false);
        for (const auto& s : store["sessions"]) {
            if (s["branch"] == branch || s["slug"] == branch) {
                return s["id"];
            }
        }
        throw std::runtime_error("no session " + branch);
    }
    std::string tree(const std::string& slug) const {
        return dir_ + "/home/.orvex-sessions/" + slug;
    }
    int serverPID() const {
        auto connection =
            OrvexServer::ServerConnection::connect(OrvexServer::ServerPaths::current().socketPath);
        return connection->call("server.status")["pid"];
    }

private:
    std::string dir_;
    std::string repo_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

/// A program on a pseudo-terminal of 30 x 100 that the benchmark types into and reads.
class Pty {
public:
    explicit Pty(std::vector<std::string> argv) {
        std::vector<char*> args;
        for (auto& a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        winsize size{};
        size.ws_row = 30;
        size.ws_col = 100;
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Pty() {
        ::close(master_);
        kill(pid_, SIGHUP);
        waitpid(pid_, nullptr, 0);
    }
    void type(std::string_view text) {
        if (::write(master_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error("write failed");
        }
    }
    /// Reads until `needle` appears in what was read since the last match.
    void waitFor(std::string_view needle) {
        auto deadline = Clock::now() + std::chrono::seconds(120);
        while (seen_.find(needle) == std::string::npos) {
            if (Clock::now() > deadline) {
                throw std::runtime_error("timed out waiting for output");
            }
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                char buffer[65536];
                ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    // Only the tail can still hold the start of a match.
                    if (seen_.size() > 4096) {
                        seen_.erase(0, seen_.size() - 256);
                    }
                    seen_.append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        seen_.erase(0, seen_.find(needle) + needle.size());
    }
    /// Reads whatever arrives within `quiet` of the last byte.
    void drain(std::chrono::milliseconds quiet) {
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) {
                break;
            }
            char buffer[65536];
            if (::read(master_, buffer, sizeof buffer) <= 0) {
                break;
            }
        }
        seen_.clear();
    }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string seen_;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

/// Types one key and waits for its echo; milliseconds.
double echo(Pty& pty) {
    auto start = Clock::now();
    pty.type("Q");
    pty.waitFor("Q");
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void BM_AttachKeystrokeEcho(benchmark::State& state) {
    BenchHome home;
    home.session("echo", 1, 1);
    Pty attached({orvexPath(), "run", "echo"});
    Pty bare({"/bin/sh"});
    attached.waitFor(" 1:");
    for (Pty* pty : {&attached, &bare}) {
        pty->type("echo rea''dy\r");
        pty->waitFor("ready");
        pty->drain(std::chrono::milliseconds(500));
    }
    std::vector<double> attachedTimes;
    std::vector<double> bareTimes;
    for (auto _ : state) {
        for (int i = 0; i < 400; ++i) {
            bool attachedFirst = i % 2 == 0;
            if (attachedFirst) {
                attachedTimes.push_back(echo(attached));
                bareTimes.push_back(echo(bare));
            } else {
                bareTimes.push_back(echo(bare));
                attachedTimes.push_back(echo(attached));
            }
            if (i % 50 == 49) {
                // Keep the line short: kill it, and let both settle.
                for (Pty* pty : {&attached, &bare}) {
                    pty->type("\x15");
                    pty->drain(std::chrono::milliseconds(100));
                }
            }
        }
    }
    state.counters["attached_median_ms"] = percentile(attachedTimes, 0.5);
    state.counters["bare_median_ms"] = percentile(bareTimes, 0.5);
    state.counters["median_diff_ms"] = percentile(attachedTimes, 0.5) - percentile(bareTimes, 0.5);
    state.counters["attached_p99_ms"] = percentile(attachedTimes, 0.99);
    state.counters["bare_p99_ms"] = percentile(bareTimes, 0.99);
    state.counters["p99_diff_ms"] = percentile(attachedTimes, 0.99) - percentile(bareTimes, 0.99);
}
BENCHMARK(BM_AttachKeystrokeEcho)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

double catSeconds(Pty& pty, int round) {
    std::string marker = "done-" + std::to_string(round);
    auto start = Clock::now();
    pty.type("cat big.txt; echo do''ne-" + std::to_string(round) + "\r");
    pty.waitFor(marker);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_AttachCatThroughput(benchmark::State& state) {
    BenchHome home;
    home.session("flood", 1, 1);
    std::string tree = home.tree("flood");
    {
        std::ofstream big(tree + "/big.txt", std::ios::binary);
        std::string line;
        for (int i = 0; i < 99; ++i) {
            line += static_cast<char>('a' + i % 26);
        }
        line += '\n';
        for (std::size_t written = 0; written < 200u << 20; written += line.size()) {
            big << line;
        }
    }
    Pty attached({orvexPath(), "run", "flood"});
    Pty bare({"/bin/sh"});
    attached.waitFor(" 1:");
    bare.type("cd '" + tree + "'; echo rea''dy\r");
    attached.type("echo rea''dy\r");
    for (Pty* pty : {&attached, &bare}) {
        pty->waitFor("ready");
        pty->drain(std::chrono::milliseconds(300));
    }
    double attachedTotal = 0;
    double bareTotal = 0;
    int round = 0;
    for (auto _ : state) {
        for (int i = 0; i < 3; ++i) {
            if (i % 2 == 0) {
                attachedTotal += catSeconds(attached, ++round);
                bareTotal += catSeconds(bare, ++round);
            } else {
                bareTotal += catSeconds(bare, ++round);
                attachedTotal += catSeconds(attached, ++round);
            }
        }
    }
    double megabytes = 3 * 200.0;
    state.counters["attached_MBps"] = megabytes / attachedTotal;
    state.counters["bare_MBps"] = megabytes / bareTotal;
    state.counters["ratio_attached_vs_bare"] = bareTotal / attachedTotal;
}
BENCHMARK(BM_AttachCatThroughput)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

/// The process's resident memory in MB.
double residentMBOf(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> f((std::istream_iterator<std::string>(fields)), {});
    // After the name: state is field 0, rss field 21 (pages).
    return std::stod(f[21]) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

/// Resident memory the server gains per idle terminal, its screen model included (target
/// at most 2 MB). Its idle CPU is BM_ServerIdleWithTwentyTerminals's.
void BM_ServerMemoryPerIdleTerminal(benchmark::State& state) {
    BenchHome home;
    std::string id = home.session("idle", 4, 5);
    int pid = home.serverPID();
    auto connection =
        OrvexServer::ServerConnection::connect(OrvexServer::ServerPaths::current().socketPath);
    // The state settles and the helper pool starts before the baseline.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double before = residentMBOf(pid);
    connection->call("grid.open", {{"id", id}});
    // Every terminal opened, printed its prompt and went quiet past the status threshold.
    for (int i = 0; i < 100; ++i) {
        if (connection->call("grid.list", {{"id", id}})["terminals"].size() == 20) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::seconds(4));
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::seconds(10));
    }
    const double after = residentMBOf(pid);
    state.counters["rss_MB_per_terminal"] = (after - before) / 20.0;
    state.counters["rss_MB_before"] = before;
    state.counters["rss_MB_after"] = after;
}
BENCHMARK(BM_ServerMemoryPerIdleTerminal)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace
