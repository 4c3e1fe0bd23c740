#pragma once

#include <string>
#include <string_view>

namespace OrvexCore::Platform {

/// A named channel of the system log (syslog on this platform). Every message is tagged with
/// the subsystem (the application's reverse-DNS identifier) and a category, so that one
/// component's messages can be picked out. Safe to use from any thread.
class Logger {
public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    void debug(std::string_view message) const;
    void info(std::string_view message) const;
    void error(std::string_view message) const;

private:
    void write(int priority, std::string_view message) const;

    std::string subsystem_;
    std::string category_;
};

} // namespace OrvexCore::Platform
