#include "OrvexCore/Platform/Logger.hpp"

#include <utility>

#include <syslog.h>

namespace OrvexCore::Platform {

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::debug(std::string_view message) const {
    write(LOG_DEBUG, message);
}

void Logger::info(std::string_view message) const {
    write(LOG_INFO, message);
}

void Logger::error(std::string_view message) const {
    write(LOG_ERR, message);
}

void Logger::write(int priority, std::string_view message) const {
    // The message goes through "%s": text from outside must never be read as a format.
    std::string line = "[" + subsystem_ + ":" + category_ + "] " + std::string(message);
    ::syslog(LOG_USER | priority, "%s", line.c_str());
}

} // namespace OrvexCore::Platform
