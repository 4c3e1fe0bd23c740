#include "OrvexServer/ServerConnection.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <istream>
#include <streambuf>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "OrvexCore/OrvexCore.hpp"
#include "OrvexServer/ListingAnswerReader.hpp"
#include "OrvexServer/Protocol.hpp"

namespace OrvexServer {

using nlohmann::json;

std::unique_ptr<ServerConnection> ServerConnection::connect(const std::string& socketPath) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw ServerUnavailable(fmt::format("cannot make a socket: {}", std::strerror(errno)));
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path)) {
        ::close(fd);
        throw ServerUnavailable("the socket path is too long: " + socketPath);
    }
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        ::close(fd);
        throw ServerUnavailable(
            fmt::format("no server answers on {}: {}", socketPath, std::strerror(error)));
    }
    std::unique_ptr<ServerConnection> connection(new ServerConnection(fd));
    connection->greeting_ =
        connection->call("hello", json{{"version", Protocol::version},
                                       {"client", std::string("orvex ") + OrvexCore::version}});
    return connection;
}

ServerConnection::~ServerConnection() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

ServerConnection::Attached ServerConnection::attach(json params) {
    call("attach", std::move(params));
    std::lock_guard lock(mutex_);
    Attached attached{fd_, std::move(input_)};
    fd_ = -1;
    input_.clear();
    return attached;
}

std::string ServerConnection::readLine() {
    for (;;) {
        auto end = input_.find('\n');
        if (end != std::string::npos) {
            std::string line = input_.substr(0, end);
            input_.erase(0, end + 1);
            return line;
        }
        char buffer[65536];
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw ServerUnavailable("the server closed the connection");
        }
        input_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::vector<json> ServerConnection::readEvents() {
    std::lock_guard lock(mutex_);
    char buffer[65536];
    ssize_t n;
    do {
        n = ::read(fd_, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        throw ServerUnavailable("the server closed the connection");
    }
    input_.append(buffer, static_cast<std::size_t>(n));
    std::vector<json> events;
    for (auto end = input_.find('\n'); end != std::string::npos; end = input_.find('\n')) {
        json line = json::parse(input_.substr(0, end), nullptr, false);
        input_.erase(0, end + 1);
        if (line.is_object() && line.contains("event")) {
            events.push_back(std::move(line));
        }
    }
    return events;
}

long long ServerConnection::send(const std::string& method, json params) {
    if (fd_ < 0) {
        throw ServerUnavailable("the connection was handed over to an attachment");
    }
    long long id = nextID_++;
    std::string line = json{{"id", id}, {"method", method}, {"params", std::move(params)}}.dump(
                           -1, ' ', false, json::error_handler_t::replace) +
                       "\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw ServerUnavailable("the server closed the connection");
        }
        sent += static_cast<std::size_t>(n);
    }
    return id;
}

std::optional<json> ServerConnection::resultOf(json& answer, long long id) {
    if (!answer.is_object() || answer.contains("event")) {
        return std::nullopt;
    }
    auto answered = answer.find("id");
    if (answered == answer.end() || !answered->is_number_integer() ||
        answered->get<long long>() != id) {
        if (answered != answer.end() && answered->is_null() && answer.contains("error")) {
            Protocol::raise(answer["error"]);
        }
        return std::nullopt;
    }
    if (auto error = answer.find("error"); error != answer.end()) {
        Protocol::raise(*error);
    }
    return answer.value("result", json(nullptr));
}

json ServerConnection::call(const std::string& method, json params) {
    std::lock_guard lock(mutex_);
    long long id = send(method, std::move(params));
    for (;;) {
        json answer = json::parse(readLine(), nullptr, false);
        if (auto result = resultOf(answer, id)) {
            return std::move(*result);
        }
    }
}

namespace {

/// The connection's input as a stream: first the bytes already read, then the socket, read
/// 64 KiB at a time. What the parser leaves unread is handed back afterwards.
class SocketBuffer final : public std::streambuf {
public:
    SocketBuffer(int fd, std::string& pending) : fd_(fd), pending_(pending) {
        buffer_ = std::move(pending_);
        pending_.clear();
        char* begin = buffer_.data();
        setg(begin, begin, begin + buffer_.size());
    }

    /// Puts the unread bytes back into the connection's pending input.
    void giveBack() { pending_.assign(gptr(), static_cast<std::size_t>(egptr() - gptr())); }

    /// Skips what is left of the current line, its line feed included; false at end of input.
    bool skipLine() {
        for (;;) {
            const auto* begin = gptr();
            const auto* found = static_cast<const char*>(
                std::memchr(begin, '\n', static_cast<std::size_t>(egptr() - begin)));
            if (found != nullptr) {
                setg(eback(), const_cast<char*>(found) + 1, egptr());
                return true;
            }
            if (underflow() == traits_type::eof()) {
                return false;
            }
        }
    }

protected:
    int_type underflow() override {
        if (gptr() < egptr()) {
            return traits_type::to_int_type(*gptr());
        }
        buffer_.resize(65536);
        for (;;) {
            ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                setg(buffer_.data(), buffer_.data(), buffer_.data());
                return traits_type::eof();
            }
            setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
            return traits_type::to_int_type(*gptr());
        }
    }

private:
    int fd_;
    std::string& pending_;
    std::string buffer_;
};

} // namespace

json ServerConnection::callListing(const std::string& method, json params, const FileVisit& visit,
                                   const std::function<void()>& restart) {
    std::lock_guard lock(mutex_);
    long long id = send(method, std::move(params));
    SocketBuffer buffer(fd_, input_);
    std::istream in(&buffer);
    for (;;) {
        json answer;
        ListingAnswerReader reader(answer, visit);
        json::sax_parse(in, &reader, json::input_format_t::json, false);
        if (!reader.failed()) {
            buffer.skipLine(); // its line feed
            buffer.giveBack();
            if (auto result = resultOf(answer, id)) {
                return std::move(*result);
            }
        } else if (in.eof() || !buffer.skipLine()) {
            buffer.giveBack();
            throw ServerUnavailable("the server closed the connection");
        }
        restart();
    }
}

namespace {

/// Whether a server holds the lock (is running or starting).
bool lockHeld(const ServerPaths& paths) {
    int fd = ::open(paths.lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

} // namespace

int startDetached(const ServerPaths& paths, const std::string& executable) {
    // On a first run nothing of the data folder exists yet: without it the log cannot be
    // opened, and the server would keep the caller's standard output and error open.
    std::error_code ignoredError;
    std::filesystem::create_directories(paths.stateDir, ignoredError);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        throw ServerUnavailable(fmt::format("cannot start the server: {}", std::strerror(errno)));
    }
    pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        throw ServerUnavailable(fmt::format("cannot start the server: {}", std::strerror(errno)));
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on: the parent may have threads.
        ::setsid();
        pid_t server = ::fork();
        if (server == 0) {
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(paths.logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
            if (out < 0) {
                out = ::open("/dev/null", O_WRONLY);
            }
            if (in >= 0) {
                ::dup2(in, STDIN_FILENO);
            }
            if (out >= 0) {
                ::dup2(out, STDOUT_FILENO);
                ::dup2(out, STDERR_FILENO);
            }
            ::chdir("/");
            ::close_range(3, ~0U, 0);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            const char* argv[] = {"orvex", "server", "run", nullptr};
            ::execv(executable.c_str(), const_cast<char* const*>(argv));
            ::_exit(127);
        }
        // The intermediate process ends at once, so the server is nobody's child but init's.
        ssize_t ignored = ::write(report[1], &server, sizeof server);
        (void)ignored;
        ::_exit(server > 0 ? 0 : 1);
    }
    ::close(report[1]);
    pid_t server = -1;
    ssize_t got = ::read(report[0], &server, sizeof server);
    ::close(report[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (got != sizeof server || server <= 0) {
        throw ServerUnavailable("cannot start the server");
    }
    return server;
}

std::unique_ptr<ServerConnection> connectOrStart(const ServerPaths& paths,
                                                 const std::string& executable,
                                                 std::chrono::milliseconds patience) {
    try {
        return ServerConnection::connect(paths.socketPath);
    } catch (const ServerUnavailable&) {
    }
    // Checked here too, so an unsafe folder is reported to the user, not only in the log.
    paths.prepareRuntimeDir();
    startDetached(paths, executable);
    auto started = std::chrono::steady_clock::now();
    auto deadline = started + patience;
    auto pause = std::chrono::milliseconds(2);
    for (;;) {
        try {
            return ServerConnection::connect(paths.socketPath);
        } catch (const ServerUnavailable&) {
            auto now = std::chrono::steady_clock::now();
            if (now > deadline) {
                throw ServerUnavailable(
                    fmt::format("the Orvex server did not start; its log is {}", paths.logPath));
            }
            // The server we started died before answering (killed, or it lost the race to a
            // server that then died): nobody holds the lock, so start another.
            if (now - started > std::chrono::milliseconds(500) && !lockHeld(paths)) {
                startDetached(paths, executable);
                started = now;
            }
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

} // namespace OrvexServer
