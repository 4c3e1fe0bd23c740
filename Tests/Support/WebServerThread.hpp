#pragma once

#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "OrvexServer/WebServer.hpp"

namespace OrvexTest {

/// A web listener on a free loopback port, run by a thread of its own, so the test's thread is
/// free to be its client. Work on the listener goes through `post`.
class WebServerThread {
public:
    WebServerThread(OrvexServer::WebClient::RequestHandler handler,
                    OrvexServer::WebTerminals terminals, OrvexServer::WebServer::Limits limits)
        : server_(std::make_unique<OrvexServer::WebServer>(io_.get_executor(), std::move(handler),
                                                           std::move(terminals), limits)) {
        server_->listen(0);
        thread_ = std::thread([this] { io_.run(); });
    }

    ~WebServerThread() {
        boost::asio::post(io_, [this] {
            server_.reset();
            work_.reset();
        });
        thread_.join();
    }

    WebServerThread(const WebServerThread&) = delete;
    WebServerThread& operator=(const WebServerThread&) = delete;

    /// Fixed once listening; other calls belong in `post`.
    unsigned short port() const { return server_->port(); }
    std::string token() const { return server_->token(); }

    /// Runs `work(listener)` on the listener's thread.
    template <class Work> void post(Work work) {
        boost::asio::post(io_, [this, work = std::move(work)]() mutable { work(*server_); });
    }

private:
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{
        io_.get_executor()};
    std::unique_ptr<OrvexServer::WebServer> server_;
    std::thread thread_;
};

} // namespace OrvexTest
