#pragma once

#include <functional>
#include <utility>

#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal_type.hpp>

namespace OrvexCore {

/// A value that tells its observers when it changes.
///
/// Owners bound to the main executor keep their observable state in these. The signal uses a
/// dummy mutex: an `Observable` belongs to one executor and is never shared between threads.
/// Observers are called synchronously, after the new value is stored, in connection order.
template <class T> class Observable {
public:
    using Signal = typename boost::signals2::signal_type<
        void(const T&), boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;

    Observable() = default;
    explicit Observable(T initial) : value_(std::move(initial)) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    /// The current value.
    const T& get() const noexcept { return value_; }
    const T& operator*() const noexcept { return value_; }
    const T* operator->() const noexcept { return &value_; }

    /// Stores `newValue` and notifies, but only when it differs from the current value.
    /// Returns whether it differed.
    bool set(T newValue) {
        if (value_ == newValue) {
            return false;
        }
        value_ = std::move(newValue);
        changed_(value_);
        return true;
    }

    /// Changes the value in place through `change` and notifies unconditionally. For callers
    /// that know they are making a change and want to avoid copying or comparing a large value.
    template <class Change> void modify(Change&& change) {
        std::forward<Change>(change)(value_);
        changed_(value_);
    }

    /// Calls `observer` with the new value after every change until the returned connection
    /// is disconnected (or this object goes).
    boost::signals2::connection observe(std::function<void(const T&)> observer) const {
        return changed_.connect(std::move(observer));
    }

private:
    T value_{};
    mutable Signal changed_;
};

} // namespace OrvexCore
