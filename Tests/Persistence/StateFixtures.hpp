#pragma once

// Deterministic records for the model, store and benchmark code: the same arguments always
// give the same values, so a separate process can rebuild a state from its number.

#include <array>
#include <cstdint>
#include <string>

#include "OrvexCore/Models/PersistedState.hpp"

namespace OrvexTest {

/// An identifier whose text shows `kind` and `number`: fixedUUID(1, 2) is
/// 00000001-0000-0000-0000-000000000002.
inline OrvexCore::UUID fixedUUID(std::uint32_t kind, std::uint64_t number) {
    std::array<std::uint8_t, 16> bytes{};
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(kind >> (8 * (3 - i)));
    }
    for (int i = 0; i < 8; ++i) {
        bytes[8 + i] = static_cast<std::uint8_t>(number >> (8 * (7 - i)));
    }
    return OrvexCore::UUID(bytes);
}

/// A session with every field set, the review map holding `reviewed` entries and the grid
/// `gridSize` terminals in one row.
inline OrvexCore::Session fullSession(std::uint64_t number, OrvexCore::UUID workspaceID,
                                      int reviewed = 3, int gridSize = 3) {
    std::string n = std::to_string(number);
    std::map<std::string, std::string> reviewedFiles;
    for (int i = 0; i < reviewed; ++i) {
        reviewedFiles["Sources/Module" + std::to_string(i) + "/File" + n + ".cpp"] =
            "3f786850e387550fdab836ed7e6dc881de23001b:" + std::to_string(i * 7 + 1);
    }
    std::vector<std::string> titles;
    for (int i = 0; i < gridSize; ++i) {
        titles.push_back("terminal " + std::to_string(i + 1) + " of session " + n);
    }
    static constexpr std::array statuses{
        OrvexCore::SessionStatus::unknown, OrvexCore::SessionStatus::idle,
        OrvexCore::SessionStatus::running, OrvexCore::SessionStatus::needsInput,
        OrvexCore::SessionStatus::bell};
    return OrvexCore::Session::make(
        fixedUUID(2, number), workspaceID, "brave-fox-" + n, "/home/user/.orvex-sessions/s" + n,
        "orvex/brave-fox-" + n, "Session \"" + n + "\" \u00e9t\u00e9", statuses[number % 5],
        "0123456789abcdef0123456789abcdef0123" + std::to_string(1000 + number % 9000),
        "origin/main", std::move(reviewedFiles), 1, gridSize, "assistant --resume " + n,
        number % 7 != 0, std::vector<int>{gridSize}, std::move(titles));
}

/// `workspaceCount` workspaces with `sessionsPerWorkspace` full sessions each, every
/// workspace remembering its first session, the first workspace selected. `generation`
/// varies the content (titles, review maps) from one snapshot to the next.
inline OrvexCore::PersistedState sampleState(int workspaceCount, int sessionsPerWorkspace,
                                             std::uint64_t generation = 0, int reviewed = 3) {
    OrvexCore::PersistedState state;
    for (int w = 0; w < workspaceCount; ++w) {
        OrvexCore::UUID id = fixedUUID(1, static_cast<std::uint64_t>(w));
        state.workspaces.push_back(OrvexCore::Workspace{
            id, "/home/user/src/repo" + std::to_string(w),
            "Repository " + std::to_string(w) + " gen " + std::to_string(generation),
            w % 2 == 0 ? std::optional<std::string>("#FF8800") : std::nullopt});
        for (int s = 0; s < sessionsPerWorkspace; ++s) {
            std::uint64_t number =
                static_cast<std::uint64_t>(w * sessionsPerWorkspace + s) + generation * 7919;
            OrvexCore::Session session = fullSession(number, id, reviewed, 1 + s % 4);
            state.sessions.push_back(session);
            if (s == 0) {
                state.lastActiveSessionByWorkspace[id] = session.id;
            }
        }
    }
    if (!state.workspaces.empty()) {
        state.lastSelectedWorkspaceID = state.workspaces.front().id;
    }
    return state;
}

} // namespace OrvexTest
