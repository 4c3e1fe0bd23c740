// Answers that list changed files are read as they arrive: the files go to a callback, the
// rest of the answer becomes an ordinary document. These cases check that the files and
// nothing else reach the callback, whatever the answer's shape, and that a listing read off a
// real socket survives being cut at any point, with an event line in front of it.

#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexServer/ListingAnswerReader.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "Support/TempGitRepo.hpp"

using nlohmann::json;
using OrvexServer::ListingAnswerReader;

namespace {

using File = std::tuple<std::string, std::int64_t, std::int64_t>;

struct Read {
    json rest;
    std::vector<File> files;
    bool failed = false;
};

Read readAnswer(const std::string& line) {
    Read read;
    ListingAnswerReader reader(
        read.rest, [&](std::string_view path, std::int64_t added, std::int64_t removed, char) {
            read.files.emplace_back(std::string(path), added, removed);
        });
    json::sax_parse(line, &reader);
    read.failed = reader.failed();
    return read;
}

} // namespace

TEST(ListingAnswerReader, HandsOnOnlyTheResultsFilesAndKeepsTheRest) {
    struct Case {
        const char* name;
        const char* line;
        std::vector<File> files;
        const char* rest;
    };
    const std::vector<Case> cases = {
        {"plain",
         R"({"id":3,"result":{"files":[{"added":1,"path":"a.txt","removed":2},)"
         R"({"added":0,"path":"d\/b \"q\".txt","removed":7}]}})",
         {{"a.txt", 1, 2}, {"d/b \"q\".txt", 0, 7}},
         R"({"id":3,"result":{"files":[]}})"},
        {"empty", R"({"id":1,"result":{"files":[]}})", {}, R"({"id":1,"result":{"files":[]}})"},
        {"keys in another order, unknown keys with nested values, large counts",
         R"({"result":{"more":[1,{"files":[{"path":"no"}]}],"files":[{"x":{"path":"inner",)"
         R"("added":9},"removed":4,"y":[{"added":5}],"path":"p","added":8589934592}]},"id":2})",
         {{"p", 8589934592, 4}},
         R"({"id":2,"result":{"files":[],"more":[1,{"files":[{"path":"no"}]}]}})"},
        {"elements that are not files are passed over",
         R"({"id":4,"result":{"files":[[{"path":"x"}],7,null,{"path":"only"}]}})",
         {{"only", 0, 0}},
         R"({"id":4,"result":{"files":[]}})"},
        {"files outside the result are not files",
         R"({"event":"changed","files":[{"path":"e"}]})",
         {},
         R"({"event":"changed","files":[{"path":"e"}]})"},
        {"an error answer",
         R"({"error":{"kind":"app","message":"gone"},"id":5})",
         {},
         R"({"error":{"kind":"app","message":"gone"},"id":5})"},
    };
    for (const auto& c : cases) {
        auto read = readAnswer(c.line);
        EXPECT_FALSE(read.failed) << c.name;
        EXPECT_EQ(read.files, c.files) << c.name;
        EXPECT_EQ(read.rest, json::parse(c.rest)) << c.name;
    }
    EXPECT_TRUE(readAnswer(R"({"id":1,"result":{"files":[{"path":"a")").failed);
}

namespace {

/// A server of one connection at a socket in a temporary folder: it answers `hello`, then
/// sends `lines` for the next request, each cut into pieces of `piece` bytes.
class ScriptedServer {
public:
    ScriptedServer(std::vector<std::string> lines, std::size_t piece) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        thread_ = std::thread([this, lines = std::move(lines), piece] {
            int fd = ::accept(listener_, nullptr, nullptr);
            auto readRequest = [fd] {
                char c = 0;
                while (::read(fd, &c, 1) == 1 && c != '\n') {
                }
            };
            auto sendAll = [fd](const std::string& text) {
                (void)!::write(fd, text.data(), text.size());
            };
            readRequest();
            sendAll(R"({"id":1,"result":{"version":1}})"
                    "\n");
            readRequest();
            std::string all;
            for (const auto& line : lines) {
                all += line + "\n";
            }
            for (std::size_t at = 0; at < all.size(); at += piece) {
                sendAll(all.substr(at, piece));
            }
            readRequest(); // until the client hangs up
            ::close(fd);
        });
    }
    ~ScriptedServer() {
        thread_.join();
        ::close(listener_);
    }
    const std::string& path() const { return path_; }

private:
    OrvexTest::TempDir folder_;
    std::string path_ = folder_ / "s";
    int listener_ = -1;
    std::thread thread_;
};

} // namespace

TEST(ServerConnectionListing, ReadsTheFilesOffTheSocketWhereverTheAnswerIsCut) {
    std::string files;
    std::vector<File> expected;
    for (int i = 0; i < 3000; ++i) {
        std::string path = "src/d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".txt";
        files += (i ? "," : "") + json{{"added", i}, {"path", path}, {"removed", 1}}.dump();
        expected.emplace_back(path, i, 1);
    }
    const std::vector<std::string> lines = {
        R"({"event":"changed","result":{"files":[{"path":"not this"}]}})",
        R"({"id":2,"result":{"files":[)" + files + R"(],"note":"kept"}})",
        R"({"id":3,"result":{}})"};
    for (std::size_t piece : {3u, 4096u, 1u << 20}) {
        ScriptedServer server(lines, piece);
        auto connection = OrvexServer::ServerConnection::connect(server.path());
        std::vector<File> seen;
        int restarts = 0;
        auto result = connection->callListing(
            "session.diff", json::object(),
            [&](std::string_view path, std::int64_t added, std::int64_t removed, char) {
                seen.emplace_back(std::string(path), added, removed);
            },
            [&] {
                seen.clear();
                ++restarts;
            });
        EXPECT_EQ(seen, expected) << "pieces of " << piece;
        EXPECT_EQ(restarts, 1) << "pieces of " << piece;
        EXPECT_EQ(result, json::parse(R"({"files":[],"note":"kept"})")) << "pieces of " << piece;
        // The line after the answer was kept for the next request on the connection.
        EXPECT_EQ(connection->call("next"), json::object()) << "pieces of " << piece;
    }
}
