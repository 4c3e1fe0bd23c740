#include "OrvexCore/External/EditorLauncher.hpp"

#include <deque>
#include <optional>
#include <system_error>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "OrvexCore/External/CommandError.hpp"
#include "Support/ThrownBy.hpp"

using OrvexCore::CommandError;
using OrvexCore::Editor;
using OrvexCore::EditorLauncher;

namespace {

struct Call {
    std::string executable;
    std::vector<std::string> arguments;
    friend bool operator==(const Call&, const Call&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Call& call) {
        out << call.executable;
        for (const auto& argument : call.arguments) {
            out << " [" << argument << "]";
        }
        return out;
    }
};

// Records every call; each call takes the next scripted failure, if any, else succeeds.
class RecordingRunner : public OrvexCore::CommandRunner {
public:
    std::vector<Call> calls;
    std::deque<std::optional<std::exception_ptr>> failures;

    std::int32_t run(const std::string& executable,
                     const std::vector<std::string>& arguments) override {
        calls.push_back({executable, arguments});
        if (!failures.empty()) {
            auto failure = failures.front();
            failures.pop_front();
            if (failure) {
                std::rethrow_exception(*failure);
            }
        }
        return 0;
    }
};

std::optional<std::exception_ptr> fails(auto error) {
    return std::make_exception_ptr(error);
}

const std::string path = "/home/someone/project with space";

} // namespace

TEST(EditorLauncherTests, StopsAfterTheCommandLineToolSucceeds) {
    auto runner = std::make_shared<RecordingRunner>();
    EditorLauncher(runner).open(path, Editor::xcode);
    EXPECT_EQ(runner->calls, (std::vector<Call>{{"/usr/bin/env", {"xed", path}}}));
}

TEST(EditorLauncherTests, FallsBackToTheSystemOpenCommandWhenTheToolFails) {
    const std::vector<std::optional<std::exception_ptr>> firstFailures{
        fails(CommandError("/usr/bin/env", 127)),
        fails(std::system_error(std::make_error_code(std::errc::no_such_file_or_directory))),
    };
    for (const auto& firstFailure : firstFailures) {
        auto runner = std::make_shared<RecordingRunner>();
        runner->failures = {firstFailure};
        EXPECT_NO_THROW(EditorLauncher(runner).open(path, Editor::vscode));
        EXPECT_EQ(runner->calls, (std::vector<Call>{{"/usr/bin/env", {"code", path}},
                                                    {"/usr/bin/env", {"xdg-open", path}}}));
        // The shortcut takes the same road.
        auto viaShortcut = std::make_shared<RecordingRunner>();
        viaShortcut->failures = {firstFailure};
        EditorLauncher(viaShortcut).openInVSCode(path);
        EXPECT_EQ(viaShortcut->calls, runner->calls);
    }
}

TEST(EditorLauncherTests, ThrowsTheFallbacksErrorWhenBothRunsFail) {
    auto runner = std::make_shared<RecordingRunner>();
    runner->failures = {fails(CommandError("/usr/bin/env", 1)),
                        fails(CommandError("/usr/bin/env", 4))};
    EXPECT_EQ(OrvexTest::thrownBy<CommandError>(
                  [&] { EditorLauncher(runner).open(path, Editor::cursor); }),
              CommandError("/usr/bin/env", 4));
    EXPECT_EQ(runner->calls.front(), (Call{"/usr/bin/env", {"cursor", path}}));
    EXPECT_EQ(runner->calls.size(), 2u);
}

TEST(EditorTests, RawValuesMatchExactlyAndRoundTripThroughJSON) {
    for (Editor editor : Editor::allCases) {
        EXPECT_EQ(Editor::fromRawValue(editor.rawValue()), editor);
        EXPECT_EQ(nlohmann::json(editor).get<Editor>(), editor);
    }
    for (const char* other : {"VSCode", "Vscode", "vscode ", "", "code", "Xcode"}) {
        SCOPED_TRACE(other);
        EXPECT_EQ(Editor::fromRawValue(other), std::nullopt);
        EXPECT_THROW(nlohmann::json(other).get<Editor>(), nlohmann::json::exception);
    }
    EXPECT_THROW(nlohmann::json(3).get<Editor>(), nlohmann::json::exception);
    EXPECT_EQ(nlohmann::json(Editor(Editor::cursor)), nlohmann::json("cursor"));
}
