#pragma once

#include <string>
#include <string_view>

#include "OrvexServer/AttachFrame.hpp"
#include "orvex/RawTerminal.hpp"

namespace Orvex {

/// The row an attached client keeps for itself at the bottom of its window: every terminal of
/// the grid with its number, title and state, the one on screen marked, and the hidden ones
/// that rang the bell or wait for input highlighted so they catch the eye. Pure functions.
namespace StatusRow {

/// A rendered row: the bytes to write (styled, exactly `width` columns wide once drawn) and
/// the same row as plain text.
struct Rendered {
    std::string bytes;
    std::string text;
};

/// The row for `status` in a window `width` columns wide. Titles come from programs, so every
/// control character in them is dropped and invalid UTF-8 is replaced. When everything does
/// not fit, titles are shortened first, then dropped (number and a one-letter state remain),
/// then terminals far from the one on screen are left out. With `prefixPending`, the row ends
/// with the keys the prefix key waits for.
Rendered render(const OrvexServer::AttachFrame::Status& status, int width, bool prefixPending);

/// Bytes that draw `row` on window row `windowRow` (1-based) and then write `restore`, which
/// must put back the cursor, its visibility and the pen the program expects (the client's
/// screen model knows them). The cursor is hidden while drawing; origin mode is switched off
/// so the row can be reached outside the program's scroll region (`restore` switches it back
/// on when the program uses it).
std::string paint(const Rendered& row, int windowRow, std::string_view restore);

/// The size the programs are told for a client window: one row less, for the status row, and
/// never less than one row.
WindowSize programSize(WindowSize window);

} // namespace StatusRow

} // namespace Orvex
