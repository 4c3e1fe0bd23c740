#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "OrvexCore/Status/OutputScanner.hpp"

namespace OrvexTest {

/// The output scanner's rule, one byte at a time, with the tail cut once per chunk: the model
/// both the scanning kernels and the status monitor must agree with whatever the chunking.
struct ScannerByteRule {
    enum class State { normal, escape, csi, osc, oscEscape };

    void feed(std::string_view chunk, std::size_t limit) {
        for (char c : chunk) {
            const auto byte = static_cast<unsigned char>(c);
            switch (state) {
            case State::normal:
                if (byte == 0x07) {
                    ++bells;
                } else if (byte == 0x1B) {
                    state = State::escape;
                } else if (byte == 0x0A || byte >= 0x20) {
                    tail.push_back(c);
                }
                break;
            case State::escape:
                state = byte == ']' ? State::osc : byte == '[' ? State::csi : State::normal;
                if (state == State::osc) {
                    payload.clear();
                }
                break;
            case State::csi:
                state = byte >= 0x40 && byte <= 0x7E ? State::normal : State::csi;
                break;
            case State::osc:
                if (byte == 0x1B) {
                    state = State::oscEscape;
                } else if (byte == 0x07) {
                    evaluate();
                    state = State::normal;
                } else if (payload.size() < OrvexCore::OutputScanner::maxPayloadBytes) {
                    payload.push_back(c);
                }
                break;
            case State::oscEscape:
                evaluate();
                state = State::normal;
                break;
            }
        }
        if (!chunk.empty() && tail.size() > 2 * limit) {
            tail.erase(0, tail.size() - limit);
        }
    }

    void evaluate() {
        if (payload.starts_with("133;C")) {
            commandEnded = false;
        } else if (payload.starts_with("133;D")) {
            commandEnded = true;
        }
    }

    State state = State::normal;
    std::string tail;
    std::string payload;
    bool commandEnded = false;
    std::size_t bells = 0;
};

} // namespace OrvexTest
