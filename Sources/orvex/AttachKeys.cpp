#include "orvex/AttachKeys.hpp"

namespace Orvex {

namespace {

constexpr std::string_view pasteStart = "\x1b[200~";
constexpr std::string_view pasteEnd = "\x1b[201~";

void send(std::vector<AttachKeys::Action>& actions, char byte) {
    if (actions.empty() || actions.back().kind != AttachKeys::Action::Kind::send) {
        actions.push_back(AttachKeys::Action{});
    }
    actions.back().bytes += byte;
}

void act(std::vector<AttachKeys::Action>& actions, AttachKeys::Action::Kind kind,
         int terminal = 0) {
    actions.push_back(AttachKeys::Action{kind, {}, terminal});
}

} // namespace

std::vector<AttachKeys::Action> AttachKeys::feed(std::string_view bytes) {
    using Kind = Action::Kind;
    std::vector<Action> actions;
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);

        // Follow the paste marks; their bytes themselves go to the program like any other.
        std::string_view mark = pasting_ ? pasteEnd : pasteStart;
        if (static_cast<char>(byte) == mark[markMatched_]) {
            if (++markMatched_ == mark.size()) {
                pasting_ = !pasting_;
                markMatched_ = 0;
            }
        } else {
            markMatched_ = byte == 0x1b ? 1 : 0;
        }
        if (pasting_) {
            send(actions, c);
            continue;
        }

        if (prefixPending_) {
            prefixPending_ = false;
            if (byte == prefixKey || byte == nextKey || byte == detachKey) {
                send(actions, c);
            } else if (byte == 'n') {
                act(actions, Kind::next);
            } else if (byte == 'p') {
                act(actions, Kind::previous);
            } else if (byte >= '1' && byte <= '9') {
                act(actions, Kind::jump, byte - '1');
            } else if (byte == '0') {
                act(actions, Kind::jump, 9);
            } else if (byte == 'd') {
                act(actions, Kind::detach);
            } else if (byte == '?') {
                act(actions, Kind::help);
            } else {
                send(actions, c);
            }
            continue;
        }
        if (byte == prefixKey) {
            prefixPending_ = true;
        } else if (byte == nextKey) {
            act(actions, Kind::next);
        } else if (byte == detachKey) {
            act(actions, Kind::detach);
        } else {
            send(actions, c);
        }
    }
    return actions;
}

std::string AttachKeys::help() {
    return "Keys while attached (the programs keep running after you detach):\n"
           "  Ctrl-]            show the next terminal\n"
           "  Ctrl-\\            detach\n"
           "  Ctrl-^ (Ctrl-6), then:\n"
           "    n / p           the next / previous terminal\n"
           "    1 ... 9, 0      terminal 1 to 9, terminal 10\n"
           "    d               detach\n"
           "    ?               show these keys\n"
           "    Ctrl-^          send Ctrl-^ to the program (likewise Ctrl-] and Ctrl-\\)\n"
           "  Any other key after Ctrl-^ goes to the program.\n";
}

} // namespace Orvex
