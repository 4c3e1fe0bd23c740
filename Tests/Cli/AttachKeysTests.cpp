#include "orvex/AttachKeys.hpp"

#include <gtest/gtest.h>

using Orvex::AttachKeys;
using Kind = AttachKeys::Action::Kind;

namespace {

// Octal escapes (\035 = Ctrl-], \036 = Ctrl-^) where a hexadecimal one would take the
// letter after it.
AttachKeys::Action sent(std::string bytes) {
    return AttachKeys::Action{Kind::send, std::move(bytes), 0};
}
AttachKeys::Action did(Kind kind, int terminal = 0) {
    return AttachKeys::Action{kind, {}, terminal};
}

} // namespace

TEST(AttachKeysTests, KeySequencesMapToActions) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<AttachKeys::Action> actions;
    };
    const std::vector<Case> cases = {
        {"plain typing", {"ls -la\r"}, {sent("ls -la\r")}},
        {"Ctrl-] alone shows the next terminal",
         {"ab\035cd"},
         {sent("ab"), did(Kind::next), sent("cd")}},
        {"Ctrl-\\ alone detaches", {"x\x1c"}, {sent("x"), did(Kind::detach)}},
        {"prefix n and p", {"\x1en\x1ep"}, {did(Kind::next), did(Kind::previous)}},
        {"prefix digits jump",
         {"\0361\0369\0360"},
         {did(Kind::jump, 0), did(Kind::jump, 8), did(Kind::jump, 9)}},
        {"prefix d detaches", {"\036d"}, {did(Kind::detach)}},
        {"prefix ? shows the keys", {"\x1e?"}, {did(Kind::help)}},
        {"prefix twice sends the prefix", {"\x1e\x1e"}, {sent("\x1e")}},
        {"prefix sends Ctrl-] and Ctrl-\\ themselves", {"\x1e\x1d\x1e\x1c"}, {sent("\x1d\x1c")}},
        {"prefix split across chunks", {"a\x1e", "2b"}, {sent("a"), did(Kind::jump, 1), sent("b")}},
        {"unknown key after the prefix goes to the program", {"\x1ex"}, {sent("x")}},
        {"arrow key after the prefix goes to the program whole", {"\x1e\x1b[A"}, {sent("\x1b[A")}},
        {"pasted text is never read as keys",
         {"\x1b[200~a\x1d\x1c\036d\x1b[201~\x1d"},
         {sent("\x1b[200~a\x1d\x1c\036d\x1b[201~"), did(Kind::next)}},
        {"paste marks split across chunks",
         {"\x1b[20", "0~\x1c", "\x1b[2", "01~\x1c"},
         {sent("\x1b[20"), sent("0~\x1c"), sent("\x1b[2"), sent("01~"), did(Kind::detach)}},
        {"a broken paste mark starts no paste",
         {"\x1b[20x\x1c"},
         {sent("\x1b[20x"), did(Kind::detach)}},
        {"UTF-8 text passes unchanged", {"é漢\xf0\x9f\x98\x80"}, {sent("é漢\xf0\x9f\x98\x80")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AttachKeys keys;
        std::vector<AttachKeys::Action> actions;
        for (const auto& chunk : c.chunks) {
            for (auto& action : keys.feed(chunk)) {
                actions.push_back(std::move(action));
            }
        }
        EXPECT_EQ(actions, c.actions);
        EXPECT_FALSE(keys.prefixPending());
    }
}

TEST(AttachKeysTests, PrefixStaysPendingUntilTheNextKey) {
    AttachKeys keys;
    EXPECT_TRUE(keys.feed("\x1e").empty());
    EXPECT_TRUE(keys.prefixPending());
    EXPECT_EQ(keys.feed("p"), std::vector{did(Kind::previous)});
    EXPECT_FALSE(keys.prefixPending());
}

TEST(AttachKeysTests, HelpNamesEveryKey) {
    auto help = AttachKeys::help();
    for (const char* key : {"Ctrl-]", "Ctrl-\\", "Ctrl-^", "n / p", "1 ... 9, 0", "d ", "?"}) {
        EXPECT_NE(help.find(key), std::string::npos) << key;
    }
}
