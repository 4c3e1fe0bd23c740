#include "OrvexServer/OutputBacklog.hpp"

#include <algorithm>

namespace OrvexServer {

OutputBacklog::OutputBacklog(boost::asio::any_io_executor executor, Limits limits,
                             std::function<void(bool behind)> onBehind,
                             std::function<void()> onStalled)
    : limits_(limits), onBehind_(std::move(onBehind)), onStalled_(std::move(onStalled)),
      timer_(std::move(executor)) {}

OutputBacklog::~OutputBacklog() {
    stop();
}

void OutputBacklog::add(std::size_t bytes) {
    queued_ += bytes;
    update();
}

void OutputBacklog::written(std::size_t bytes, std::size_t awaiting) {
    queued_ -= std::min(bytes, queued_);
    awaiting_ = awaiting;
    update();
}

void OutputBacklog::setAwaiting(std::size_t bytes) {
    awaiting_ = bytes;
    update();
}

bool OutputBacklog::stop() {
    bool wasBehind = behind_;
    stopped_ = true;
    behind_ = false;
    queued_ = 0;
    awaiting_ = 0;
    timer_.cancel();
    return wasBehind;
}

void OutputBacklog::update() {
    if (stopped_) {
        return;
    }
    const std::size_t outstanding = queued_ + awaiting_;
    if (!behind_ && outstanding > limits_.behindBytes) {
        behind_ = true;
        ++stretch_;
        timer_.expires_after(limits_.behindTime);
        timer_.async_wait([this, alive = std::weak_ptr<bool>(alive_),
                           stretch = stretch_](const boost::system::error_code& error) {
            if (error || !alive.lock() || stopped_ || !behind_ || stretch != stretch_) {
                return;
            }
            stopped_ = true;
            if (onStalled_) {
                onStalled_();
            }
        });
        if (onBehind_) {
            onBehind_(true);
        }
    } else if (behind_ && outstanding <= limits_.behindBytes / 4) {
        // Well below the mark, so a client reading at about the program's pace does not flip
        // between the two with every write.
        behind_ = false;
        timer_.cancel();
        if (onBehind_) {
            onBehind_(false);
        }
    }
}

} // namespace OrvexServer
