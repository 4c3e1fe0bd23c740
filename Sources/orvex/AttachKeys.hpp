#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Orvex {

/// What the user's keys mean while attached to a grid: most bytes go to the terminal on
/// screen; a few keys act on the attachment itself.
///
/// Two keys act at once, as they always have: Ctrl-] shows the next terminal and Ctrl-backslash
/// detaches. Every other command goes through the prefix key (Ctrl-^, typed as Ctrl-6 on most
/// keyboards) followed by one key: n next, p previous, 1 to 9 and 0 terminal 1 to 10, d detach,
/// ? the list of keys; the prefix key, Ctrl-] or Ctrl-\ after it sends that key itself to the
/// program. Any other key after the prefix cancels it and goes to the program as typed.
/// Pasted text (between the bracketed-paste marks) always goes to the program unread.
///
/// The prefix may stay pending across chunks (the user types the two keys separately).
class AttachKeys {
public:
    static constexpr unsigned char nextKey = 0x1d;   // Ctrl-]
    static constexpr unsigned char detachKey = 0x1c; // Ctrl-backslash
    static constexpr unsigned char prefixKey = 0x1e; // Ctrl-^

    struct Action {
        enum class Kind { send, next, previous, jump, detach, help };
        Kind kind = Kind::send;
        /// For `send`: the bytes for the terminal on screen.
        std::string bytes;
        /// For `jump`: the terminal's 0-based place in the grid's reading order.
        int terminal = 0;
        friend bool operator==(const Action&, const Action&) = default;
    };

    /// The actions the next chunk of keyboard input asks for, in order; adjacent bytes for the
    /// program are joined into one `send`.
    std::vector<Action> feed(std::string_view bytes);

    /// True while the prefix key waits for its command key.
    bool prefixPending() const { return prefixPending_; }

    /// The list of keys, for `orvex run --help` and the `?` command.
    static std::string help();

private:
    bool prefixPending_ = false;
    bool pasting_ = false;
    /// How many bytes of the next paste mark have been seen.
    std::size_t markMatched_ = 0;
};

} // namespace Orvex
