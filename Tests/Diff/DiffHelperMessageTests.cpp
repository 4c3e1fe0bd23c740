#include "OrvexCore/Diff/DiffHelperMessage.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "Support/ThrownBy.hpp"

using namespace OrvexCore;
using OrvexCore::DiffHelperCoding::decodeRequest;
using OrvexCore::DiffHelperCoding::decodeResponse;

TEST(DiffHelperMessageTests, RequestLineIsCompactSortedWithEscapedSlashes) {
    DiffHelperRequest list{"list", DiffHelperOp::list, "/tmp/wt", "origin/main", std::nullopt};
    EXPECT_EQ(list.encodedLine(),
              R"({"base":"origin\/main","id":"list","op":"list","worktreePath":"\/tmp\/wt"})"
              "\n");

    DiffHelperRequest shutdown{"shutdown", DiffHelperOp::shutdown, {}, {}, {}};
    EXPECT_EQ(shutdown.encodedLine(), "{\"id\":\"shutdown\",\"op\":\"shutdown\"}\n");
}

TEST(DiffHelperMessageTests, RecordsSurviveARoundTrip) {
    std::vector<DiffHelperRequest> requests{
        {"list", DiffHelperOp::list, "/w", "main", std::nullopt},
        {"patch", DiffHelperOp::patch, "/w t/ä", "feature/x", "a/b\nc.txt"},
        {std::nullopt, DiffHelperOp::shutdown, std::nullopt, std::nullopt, std::nullopt},
    };
    // Line feeds inside strings never break the one-line framing.
    auto framed = [](const std::string& line) {
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        return std::string_view(line).substr(0, line.size() - 1);
    };
    for (const auto& request : requests) {
        std::string line = request.encodedLine();
        EXPECT_EQ(decodeRequest(framed(line)), request) << line;
    }

    DiffHelperResponse failure;
    failure.error = "fatal: bad revision 'nope'";
    DiffHelperResponse files;
    files.id = "list";
    files.ok = true;
    files.files = std::vector<FileDiff>{{"A.txt", 0, 0, ""}, {"b/c", 9223372036854775807, 2, "x"}};
    DiffHelperResponse patch{
        "patch", true, {}, "dir/ü file\n.txt", "@@ -1 +1 @@\n-a\r\n+b\t\"q\" \\ \x01\n", {}};
    for (const auto& response : {failure, files, patch}) {
        std::string line = response.encodedLine();
        EXPECT_EQ(decodeResponse(framed(line)), response) << line;
    }
}

TEST(DiffHelperMessageTests, DecodingTreatsNullAsMissingAndIgnoresUnknownKeys) {
    auto request = decodeRequest(
        R"({"op":"patch","id":null,"base":"main","worktreePath":"/w","path":null,"extra":[1,{}]})");
    EXPECT_EQ(request, (DiffHelperRequest{std::nullopt, DiffHelperOp::patch, "/w", "main", {}}));

    auto response = decodeResponse(R"({"ok":false,"files":null,"error":null,"future":true})");
    EXPECT_FALSE(response.ok);
    EXPECT_FALSE(response.files);
    EXPECT_FALSE(response.error);

    EXPECT_EQ(decodeRequest(R"({"op":"list","worktreePath":"\/a\/b"})").worktreePath, "/a/b");
}

TEST(DiffHelperMessageTests, MalformedMessagesAreDecodingErrors) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* mentions;
    };
    auto expectRefused = [](const std::vector<Case>& cases, auto decode) {
        for (const auto& c : cases) {
            auto e = OrvexTest::thrownBy<DiffHelperDecodingError>([&] { decode(c.bytes); });
            EXPECT_TRUE(e && std::string(e->what()).find(c.mentions) != std::string::npos)
                << c.name << ": " << (e ? e->what() : "decoded");
        }
    };
    expectRefused(
        {
            {"empty", "", "not valid JSON"},
            {"not JSON", "hello", "not valid JSON"},
            {"trailing garbage", R"({"op":"list"} x)", "not valid JSON"},
            {"array", R"(["op","list"])", "expected a JSON object"},
            {"string", R"("list")", "expected a JSON object"},
            {"missing op", R"({"id":"x"})", "missing \"op\""},
            {"null op", R"({"op":null})", "missing \"op\""},
            {"capital op", R"({"op":"LIST"})", "unknown op \"LIST\""},
            {"op with a space", R"({"op":"list "})", "unknown op"},
            {"numeric op", R"({"op":1})", "\"op\" must be a string"},
            {"numeric id", R"({"op":"list","id":7})", "\"id\" must be a string"},
            {"object base", R"({"op":"list","base":{}})", "\"base\" must be a string"},
            {"invalid UTF-8", "{\"op\":\"list\",\"id\":\"\xff\"}", "not valid JSON"},
            {"raw line feed in string", "{\"op\":\"list\",\"id\":\"a\nb\"}", "not valid JSON"},
        },
        [](const std::string& bytes) { decodeRequest(bytes); });
    expectRefused(
        {
            {"missing ok", R"({"id":"x"})", "missing \"ok\""},
            {"string ok", R"({"ok":"true"})", "\"ok\" must be a boolean"},
            {"files object", R"({"ok":true,"files":{}})", "\"files\" must be an array"},
            {"file without removed", R"({"ok":true,"files":[{"path":"a","added":1,"patch":""}]})",
             "missing \"removed\""},
            {"fractional count",
             R"({"ok":true,"files":[{"path":"a","added":1.5,"removed":0,"patch":""}]})",
             "\"added\" must be an integer"},
            {"huge count",
             R"({"ok":true,"files":[{"path":"a","added":18446744073709551615,"removed":0,"patch":""}]})",
             "out of range"},
            {"file not object", R"({"ok":true,"files":["a"]})", "must be an object"},
        },
        [](const std::string& bytes) { decodeResponse(bytes); });
}

TEST(DiffHelperMessageTests, EncodingRefusesTextThatIsNotUTF8) {
    for (const char* bad : {"\xc3", "\xc0\x80", "\xe0\x80\x80", "\xed\xa0\x80", "\xf0\x80\x80\x80",
                            "\xf4\x90\x80\x80", "\xe2\x82", "\x80", "\xf5\x80\x80\x80"}) {
        DiffHelperRequest request{"list", DiffHelperOp::list, std::string("/w/") + bad, "main", {}};
        EXPECT_THROW(request.encodedLine(), DiffHelperEncodingError) << bad;
    }
}

// Responses are read from the parser's events: what a tree would give, nested unknown values
// passed over at every level, and files without "patch" (as list answers write them).
TEST(DiffHelperMessageTests, ResponsesDecodeFromEventsAsFromATree) {
    auto response = decodeResponse(
        R"({"x":{"files":[1],"ok":"no"},"files":[{"path":"a","added":1,"removed":2,)"
        R"("more":{"patch":7,"k":[[]]}},{"removed":0,"patch":"p","added":3,"path":"b\/c"}],)"
        R"("ok":true,"id":"list","y":[{"ok":1}],"error":null})");
    EXPECT_EQ(
        response,
        (DiffHelperResponse{
            "list", true, std::vector<FileDiff>{{"a", 1, 2, ""}, {"b/c", 3, 0, "p"}}, {}, {}, {}}));
    EXPECT_EQ(decodeResponse(R"({"ok":true,"files":[]})").files, std::vector<FileDiff>{});
    EXPECT_EQ(decodeResponse(R"({"ok":false,"ok":true})").ok, true);
    for (const char* bad : {R"({"ok":true,"files":[{"path":"a","added":1,"removed":0}]})"
                            R"( )"
                            R"({})",
                            R"({"ok":true} {"ok":true})"}) {
        EXPECT_THROW(decodeResponse(bad), DiffHelperDecodingError) << bad;
    }
}
