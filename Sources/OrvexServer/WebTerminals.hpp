#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "OrvexCore/Models/UUID.hpp"

namespace OrvexServer {

/// What the web page's connections may do to terminals, supplied by the server (its terminal
/// host and screen models) or by a test. Each returns false, or nothing, for a terminal that
/// does not exist (any more). Main executor only.
struct WebTerminals {
    /// The bytes that repaint the terminal's current screen on a cleared terminal.
    std::function<std::optional<std::string>(const OrvexCore::UUID& terminalID)> screen;
    /// Bytes the user typed or pasted.
    std::function<bool(const OrvexCore::UUID& terminalID, std::string_view bytes)> input;
    /// The size of the terminal's cell in the page, in character rows and columns.
    std::function<bool(const OrvexCore::UUID& terminalID, int rows, int cols)> resize;
    /// Holds the programs' output of `terminals` for `holder` (a page that cannot keep up), in
    /// place of what it held before; an empty set lets go. Optional: without it nothing is
    /// held and a page that falls behind is only dropped.
    std::function<void(const void* holder, std::set<OrvexCore::UUID> terminals)> hold;
};

} // namespace OrvexServer
