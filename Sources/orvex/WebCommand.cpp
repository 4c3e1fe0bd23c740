#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "orvex/CommandSupport.hpp"
#include "orvex/Commands.hpp"
#include "orvex/Failure.hpp"
#include "orvex/Runtime.hpp"
#include "orvex/StateClient.hpp"

namespace Orvex {

namespace {

bool hasDisplay() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

/// Starts `opener address` detached (its own session, no standard streams), so a browser it
/// starts outlives this command and never writes into the user's terminal.
bool openDetached(const std::string& opener, const std::string& address) {
    pid_t child = ::fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        ::setsid();
        if (::fork() == 0) {
            int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, STDIN_FILENO);
                ::dup2(null, STDOUT_FILENO);
                ::dup2(null, STDERR_FILENO);
            }
            ::close_range(3, ~0U, 0);
            const char* argv[] = {opener.c_str(), address.c_str(), nullptr};
            ::execv(opener.c_str(), const_cast<char* const*>(argv));
            ::_exit(127);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

} // namespace

void webCommand(Runtime& rt, const WebArgs& args) {
    auto answer = rt.state().call("web.address");
    std::string address = answer.value("address", "");
    auto& out = rt.out().text;
    out += address + "\n";
    if (args.noOpen || !hasDisplay()) {
        return;
    }
    auto opener = findOnPath("xdg-open");
    if (!opener || !openDetached(*opener, address)) {
        rt.out().text += "xdg-open is not available: open the address above in a browser\n";
    }
}

} // namespace Orvex
