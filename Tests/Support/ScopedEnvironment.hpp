#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace OrvexTest {

/// Sets the environment variable `name` to `value` for this object's life, then puts back what
/// was there (or removes it), also when the test stops early. Every test case runs in its own
/// process, and nothing else reads the environment while it is changed.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) {
            saved_ = old;
        }
        ::setenv(name_.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (saved_) {
            ::setenv(name_.c_str(), saved_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

} // namespace OrvexTest
