#include "OrvexPty/TerminalByteTracker.hpp"

#include <algorithm>
#include <cstdlib>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexPty {

namespace {

/// Escape-sequence payloads are only looked at for a few numbers or letters: longer ones are
/// cut, so a program that never ends a sequence cannot make the tracker grow.
constexpr std::size_t maxSequenceBytes = 64;

bool isBlank(std::string_view row) {
    return std::all_of(row.begin(), row.end(), [](char c) { return c == ' ' || c == '\t'; });
}

} // namespace

void TerminalByteTracker::ingest(std::string_view bytes) {
    for (const char byte : bytes) {
        const auto u = static_cast<unsigned char>(byte);
        switch (state_) {
        case State::normal:
            if (u == 0x1B) {
                state_ = State::escape;
            } else if (u == 0x07) {
                ++bellCount_;
            } else if (u == '\n' || u == 0x0B || u == 0x0C) {
                endRow();
            } else if (u == '\r') {
                column_ = 0;
            } else if (u == 0x08) {
                column_ = column_ > 0 ? column_ - 1 : 0;
            } else if (u == '\t') {
                put(' ');
            } else if (u >= 0x20 && u != 0x7F) {
                put(byte);
            }
            break;
        case State::escape:
            if (u == '[') {
                params_.clear();
                state_ = State::csi;
            } else if (u == ']') {
                osc_.clear();
                state_ = State::osc;
            } else if (u >= 0x20 && u <= 0x2F) {
                state_ = State::escapeIntermediate; // ESC ( B and the like: one more byte
            } else {
                state_ = State::normal;
            }
            break;
        case State::escapeIntermediate:
            if (u < 0x20 || u > 0x2F) {
                state_ = State::normal;
            }
            break;
        case State::csi:
            if (u >= 0x40 && u <= 0x7E) {
                finishCSI(byte);
                state_ = State::normal;
            } else if (params_.size() < maxSequenceBytes) {
                params_.push_back(byte);
            }
            break;
        case State::osc:
            if (u == 0x07) {
                finishOSC();
                state_ = State::normal;
            } else if (u == 0x1B) {
                state_ = State::oscEsc;
            } else if (osc_.size() < maxSequenceBytes) {
                osc_.push_back(byte);
            }
            break;
        case State::oscEsc:
            finishOSC();
            state_ = State::normal;
            break;
        }
    }
}

std::string_view TerminalByteTracker::lastVisibleRow() const noexcept {
    return isBlank(row_) ? std::string_view(lastRow_) : std::string_view(row_);
}

void TerminalByteTracker::put(char byte) {
    if (column_ < row_.size()) {
        row_[column_] = byte;
    } else if (row_.size() < maxRowBytes) {
        row_.resize(column_, ' ');
        row_.push_back(byte);
    } else {
        return;
    }
    ++column_;
}

void TerminalByteTracker::endRow() {
    if (!isBlank(row_)) {
        lastRow_ = row_;
    }
    row_.clear();
    column_ = 0;
}

void TerminalByteTracker::finishCSI(char final) {
    switch (final) {
    case 'h':
    case 'l':
        if (!params_.empty() && params_[0] == '?') {
            for (const auto mode :
                 OrvexCore::Text::split(std::string_view(params_).substr(1), ';', false)) {
                if (mode == "1049" || mode == "1047" || mode == "47") {
                    alternateScreen_ = final == 'h';
                    endRow();
                    lastRow_.clear();
                }
            }
        }
        break;
    case 'K': // erase in line: from the cursor (0), to it (1) or all (2)
        if (params_.empty() || params_ == "0") {
            row_.resize(std::min(row_.size(), column_));
        } else if (params_ == "2") {
            row_.clear();
        }
        break;
    case 'J':
        if (params_ == "2" || params_ == "3") {
            row_.clear();
            lastRow_.clear();
            column_ = 0;
        }
        break;
    case 'H': // cursor moved to another row: the text there is not this row's
    case 'f':
    case 'A':
    case 'B':
    case 'd':
        endRow();
        break;
    case 'G': { // to a column of this row, counted from 1
        const long column = params_.empty() ? 1 : std::strtol(params_.c_str(), nullptr, 10);
        column_ = static_cast<std::size_t>(std::clamp<long>(column, 1, maxRowBytes) - 1);
        break;
    }
    default:
        break;
    }
}

void TerminalByteTracker::finishOSC() {
    const std::string_view text(osc_);
    if (!text.starts_with("133;") || text.size() < 5) {
        return;
    }
    switch (text[4]) {
    case 'A':
    case 'B':
    case 'D':
        shellMark_ = ShellMark::atPrompt;
        break;
    case 'C':
        shellMark_ = ShellMark::commandRunning;
        break;
    default:
        break;
    }
}

} // namespace OrvexPty
