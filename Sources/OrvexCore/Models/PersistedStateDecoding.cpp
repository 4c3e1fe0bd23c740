// decodePersistedState: the state document read straight from the JSON parser's events into
// the records, without building a JSON tree first. For a thousand sessions the tree and the
// lookups in it cost more than the parse itself; here every value goes once from the parser's
// token into its field, and the parser copies strings in runs rather than byte by byte. The reading
// rules are the records' own (see Workspace, Session and PersistedState): the same defaults,
// clamps, type checks and error locations.

#include "OrvexCore/Models/PersistedState.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvexCore/Models/DecodingError.hpp"
#include "OrvexCore/Models/JSONEventReader.hpp"
#include "OrvexCore/Models/SessionStatus.hpp"

namespace OrvexCore {
namespace {

constexpr int minimumGridSize = 1;
constexpr int maximumGridSize = 20;

/// What a parser event carries, for type checks and their messages.
enum class Kind { null, boolean, integer, unsignedInteger, floating, string, object, array };

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::null:
        return "null";
    case Kind::boolean:
        return "a boolean";
    case Kind::integer:
    case Kind::unsignedInteger:
        return "an integer";
    case Kind::floating:
        return "a number";
    case Kind::string:
        return "a string";
    case Kind::object:
        return "an object";
    case Kind::array:
        return "an array";
    }
    return "an unsupported value";
}

/// Where the reader is: which value the next event belongs to.
enum class Level {
    top,
    document,
    workspaces,
    workspace,
    sessions,
    session,
    reviewedFiles,
    gridLayout,
    gridTitles,
    lastActive,
    done,
};

enum class Field {
    unknown,
    // Document.
    workspaces,
    sessions,
    lastSelectedWorkspaceID,
    lastActiveSessionByWorkspace,
    // Records.
    id,
    workspaceID,
    slug,
    worktreePath,
    branch,
    title,
    lastKnownStatus,
    baseCommit,
    reviewedFiles,
    diffCompareRef,
    gridRows,
    gridCols,
    initialCommand,
    isWorktree,
    gridLayout,
    gridTitles,
    repoPath,
    displayName,
    color,
};

struct FieldName {
    std::string_view name;
    Field field;
};

constexpr std::array documentFields{
    FieldName{"workspaces", Field::workspaces},
    FieldName{"sessions", Field::sessions},
    FieldName{"lastSelectedWorkspaceID", Field::lastSelectedWorkspaceID},
    FieldName{"lastActiveSessionByWorkspace", Field::lastActiveSessionByWorkspace},
};

constexpr std::array workspaceFields{
    FieldName{"id", Field::id},
    FieldName{"repoPath", Field::repoPath},
    FieldName{"displayName", Field::displayName},
    FieldName{"color", Field::color},
};

// In the order the writer emits them, which is the order a reader meets them.
constexpr std::array sessionFields{
    FieldName{"id", Field::id},
    FieldName{"workspaceID", Field::workspaceID},
    FieldName{"slug", Field::slug},
    FieldName{"worktreePath", Field::worktreePath},
    FieldName{"branch", Field::branch},
    FieldName{"title", Field::title},
    FieldName{"lastKnownStatus", Field::lastKnownStatus},
    FieldName{"baseCommit", Field::baseCommit},
    FieldName{"reviewedFiles", Field::reviewedFiles},
    FieldName{"diffCompareRef", Field::diffCompareRef},
    FieldName{"gridRows", Field::gridRows},
    FieldName{"gridCols", Field::gridCols},
    FieldName{"initialCommand", Field::initialCommand},
    FieldName{"isWorktree", Field::isWorktree},
    FieldName{"gridLayout", Field::gridLayout},
    FieldName{"gridTitles", Field::gridTitles},
};

template <size_t N> Field lookUp(const std::array<FieldName, N>& fields, std::string_view key) {
    for (const FieldName& entry : fields) {
        if (entry.name == key) {
            return entry.field;
        }
    }
    return Field::unknown;
}

/// The required keys of a record, one bit each, in the order missing ones are reported.
constexpr std::array<std::string_view, 6> requiredSessionKeys{
    "id", "workspaceID", "slug", "worktreePath", "branch", "title"};
constexpr std::array<std::string_view, 3> requiredWorkspaceKeys{"id", "repoPath", "displayName"};

unsigned requiredBit(Field field) {
    switch (field) {
    case Field::id:
        return 1u << 0;
    case Field::workspaceID:
    case Field::repoPath:
        return 1u << 1;
    case Field::slug:
    case Field::displayName:
        return 1u << 2;
    case Field::worktreePath:
        return 1u << 3;
    case Field::branch:
        return 1u << 4;
    case Field::title:
        return 1u << 5;
    default:
        return 0;
    }
}

/// An identifier that draws no random number: every record decoded gets its own.
const UUID nilUUID{std::array<std::uint8_t, 16>{}};

/// The parser's handler. Every event either fills a field of the record being read, moves between
/// levels, or is skipped (the values of unknown keys, at any depth). Faults throw
/// DecodingError with the location of the offending value.
class StateReader {
public:
    /// `documentSize`: the text's length, to size the session list up front.
    explicit StateReader(size_t documentSize) : documentSize_(documentSize) {}

    PersistedState take() { return std::move(state_); }

    void null() { scalar(Kind::null); }
    void boolean(bool value) {
        boolean_ = value;
        scalar(Kind::boolean);
    }
    void number_integer(std::int64_t value) {
        integer_ = value;
        scalar(Kind::integer);
    }
    void number_unsigned(std::uint64_t value) {
        unsigned_ = value;
        scalar(Kind::unsignedInteger);
    }
    void number_float() { scalar(Kind::floating); }
    void string(std::string& value) {
        string_ = &value;
        scalar(Kind::string);
    }

    void start_object() { open(Kind::object); }
    void start_array() { open(Kind::array); }

    void key(std::string& key) {
        if (skipDepth_ > 0) {
            return;
        }
        switch (level_) {
        case Level::document:
            field_ = lookUp(documentFields, key);
            break;
        case Level::workspace:
            field_ = lookUp(workspaceFields, key);
            break;
        case Level::session:
            field_ = lookUp(sessionFields, key);
            break;
        case Level::reviewedFiles:
            reviewedKey_ = key;
            return;
        default:
            return;
        }
        if (field_ == Field::unknown) {
            unknownKey_ = key; // only to name it should its value be unreadable
        }
    }

    void end_object() {
        if (skipDepth_ > 0) {
            --skipDepth_;
            return;
        }
        switch (level_) {
        case Level::document:
            if (!seenWorkspaces_) {
                throw DecodingError("workspaces", "required key is missing");
            }
            if (!seenSessions_) {
                throw DecodingError("sessions", "required key is missing");
            }
            level_ = Level::done;
            break;
        case Level::workspace:
            requireAll(requiredWorkspaceKeys);
            level_ = Level::workspaces;
            break;
        case Level::session:
            requireAll(requiredSessionKeys);
            level_ = Level::sessions;
            break;
        case Level::reviewedFiles:
            level_ = Level::session;
            break;
        default:
            break;
        }
    }

    void end_array() {
        if (skipDepth_ > 0) {
            --skipDepth_;
            return;
        }
        switch (level_) {
        case Level::workspaces:
        case Level::sessions:
            level_ = Level::document;
            break;
        case Level::gridLayout:
        case Level::gridTitles:
            level_ = Level::session;
            break;
        case Level::lastActive:
            finishLastActive();
            level_ = Level::document;
            break;
        default:
            break;
        }
    }

    /// A number beyond the range of a double ("1e999"): unlike a syntax fault, which belongs
    /// to the document as a whole, it is a value the reader can name.
    [[noreturn]] void numberOutOfRange(std::string_view token) {
        fail(currentPath(), "number out of range: " + std::string(token));
    }

private:
    // MARK: Values

    void open(Kind kind) {
        if (skipDepth_ > 0) {
            ++skipDepth_;
            return;
        }
        value(kind);
    }

    void scalar(Kind kind) {
        if (skipDepth_ > 0) {
            return;
        }
        value(kind);
    }

    /// A value begins (a scalar, or the start of an object or array).
    void value(Kind kind) {
        switch (level_) {
        case Level::top:
            if (kind != Kind::object) {
                throw DecodingError("", std::string("expected the state document (an object), "
                                                    "found ") +
                                            kindName(kind));
            }
            level_ = Level::document;
            return;
        case Level::document:
            documentValue(kind);
            return;
        case Level::workspaces:
            if (kind != Kind::object) {
                fail("", std::string("expected a workspace (an object), found ") + kindName(kind));
            }
            state_.workspaces.push_back(Workspace{nilUUID, {}, {}});
            seenFields_ = 0;
            level_ = Level::workspace;
            return;
        case Level::workspace:
            workspaceValue(kind);
            return;
        case Level::sessions:
            if (kind != Kind::object) {
                fail("", std::string("expected a session (an object), found ") + kindName(kind));
            }
            state_.sessions.push_back(Session{.id = nilUUID,
                                              .workspaceID = nilUUID,
                                              .slug = {},
                                              .worktreePath = {},
                                              .branch = {},
                                              .title = {}});
            seenFields_ = 0;
            level_ = Level::session;
            return;
        case Level::session:
            sessionValue(kind);
            return;
        case Level::reviewedFiles:
            if (kind != Kind::string) {
                mismatch("reviewedFiles[\"" + reviewedKey_ + "\"]", "a string", kind);
            }
            state_.sessions.back().reviewedFiles.insert_or_assign(reviewedKey_, *string_);
            return;
        case Level::gridLayout: {
            auto& layout = *state_.sessions.back().gridLayout;
            layout.push_back(gridSize(kind, "gridLayout[" + std::to_string(layout.size()) + "]"));
            return;
        }
        case Level::gridTitles: {
            auto& titles = *state_.sessions.back().gridTitles;
            if (kind != Kind::string) {
                mismatch("gridTitles[" + std::to_string(titles.size()) + "]", "a string", kind);
            }
            titles.push_back(*string_);
            return;
        }
        case Level::lastActive:
            if (kind != Kind::string) {
                mismatch(lastActivePath(), "a UUID string", kind);
            }
            lastActive_.push_back(uuid(lastActivePath()));
            return;
        case Level::done:
            return;
        }
    }

    void documentValue(Kind kind) {
        switch (field_) {
        case Field::workspaces:
            if (kind != Kind::array) {
                mismatch("workspaces", "an array", kind);
            }
            seenWorkspaces_ = true;
            state_.workspaces.clear();
            level_ = Level::workspaces;
            break;
        case Field::sessions:
            if (kind != Kind::array) {
                mismatch("sessions", "an array", kind);
            }
            seenSessions_ = true;
            state_.sessions.clear();
            // About a kilobyte a session: one allocation instead of a dozen regrowths.
            state_.sessions.reserve(documentSize_ / 1024);
            level_ = Level::sessions;
            break;
        case Field::lastSelectedWorkspaceID:
            if (kind == Kind::null) {
                state_.lastSelectedWorkspaceID.reset();
            } else if (kind == Kind::string) {
                state_.lastSelectedWorkspaceID = uuid("lastSelectedWorkspaceID");
            } else {
                mismatch("lastSelectedWorkspaceID", "a UUID string", kind);
            }
            break;
        case Field::lastActiveSessionByWorkspace:
            lastActive_.clear();
            if (kind == Kind::null) {
                state_.lastActiveSessionByWorkspace.clear();
            } else if (kind == Kind::array) {
                level_ = Level::lastActive;
            } else {
                mismatch("lastActiveSessionByWorkspace",
                         "an array alternating workspace and session IDs", kind);
            }
            break;
        default:
            skip(kind);
            break;
        }
    }

    void workspaceValue(Kind kind) {
        Workspace& workspace = state_.workspaces.back();
        seenFields_ |= requiredBit(field_);
        switch (field_) {
        case Field::id:
            workspace.id = requiredUUID("id", kind);
            break;
        case Field::repoPath:
            requiredString(workspace.repoPath, "repoPath", kind);
            break;
        case Field::displayName:
            requiredString(workspace.displayName, "displayName", kind);
            break;
        case Field::color:
            optionalString(workspace.color, "color", kind);
            break;
        default:
            skip(kind);
            break;
        }
    }

    void sessionValue(Kind kind) {
        Session& session = state_.sessions.back();
        seenFields_ |= requiredBit(field_);
        switch (field_) {
        case Field::id:
            session.id = requiredUUID("id", kind);
            break;
        case Field::workspaceID:
            session.workspaceID = requiredUUID("workspaceID", kind);
            break;
        case Field::slug:
            requiredString(session.slug, "slug", kind);
            break;
        case Field::worktreePath:
            requiredString(session.worktreePath, "worktreePath", kind);
            break;
        case Field::branch:
            requiredString(session.branch, "branch", kind);
            break;
        case Field::title:
            requiredString(session.title, "title", kind);
            break;
        case Field::lastKnownStatus:
            session.lastKnownStatus = status(kind);
            break;
        case Field::baseCommit:
            optionalString(session.baseCommit, "baseCommit", kind);
            break;
        case Field::diffCompareRef:
            optionalString(session.diffCompareRef, "diffCompareRef", kind);
            break;
        case Field::initialCommand:
            optionalString(session.initialCommand, "initialCommand", kind);
            break;
        case Field::reviewedFiles:
            session.reviewedFiles.clear();
            if (kind == Kind::object) {
                level_ = Level::reviewedFiles;
            } else if (kind != Kind::null) {
                mismatch("reviewedFiles", "an object", kind);
            }
            break;
        case Field::gridRows:
            session.gridRows = kind == Kind::null ? minimumGridSize : gridSize(kind, "gridRows");
            break;
        case Field::gridCols:
            session.gridCols = kind == Kind::null ? minimumGridSize : gridSize(kind, "gridCols");
            break;
        case Field::isWorktree:
            if (kind == Kind::null) {
                session.isWorktree = true;
            } else if (kind == Kind::boolean) {
                session.isWorktree = boolean_;
            } else {
                mismatch("isWorktree", "a boolean", kind);
            }
            break;
        case Field::gridLayout:
            session.gridLayout.reset();
            if (kind == Kind::array) {
                session.gridLayout.emplace();
                level_ = Level::gridLayout;
            } else if (kind != Kind::null) {
                mismatch("gridLayout", "an array", kind);
            }
            break;
        case Field::gridTitles:
            session.gridTitles.reset();
            if (kind == Kind::array) {
                session.gridTitles.emplace();
                level_ = Level::gridTitles;
            } else if (kind != Kind::null) {
                mismatch("gridTitles", "an array", kind);
            }
            break;
        default:
            skip(kind);
            break;
        }
    }

    // MARK: Reading one value

    void skip(Kind kind) {
        if (kind == Kind::object || kind == Kind::array) {
            skipDepth_ = 1;
        }
    }

    void requiredString(std::string& target, const char* key, Kind kind) {
        if (kind != Kind::string) {
            mismatch(key, "a string", kind);
        }
        // A copy, not a move: the parser keeps its buffer's capacity for the next token.
        target.assign(*string_);
    }

    void optionalString(std::optional<std::string>& target, const char* key, Kind kind) {
        if (kind == Kind::null) {
            target.reset();
            return;
        }
        if (kind != Kind::string) {
            mismatch(key, "a string", kind);
        }
        target.emplace(*string_);
    }

    UUID requiredUUID(const char* key, Kind kind) {
        if (kind != Kind::string) {
            mismatch(key, "a UUID string", kind);
        }
        return uuid(key);
    }

    /// The current string event as a UUID.
    UUID uuid(const std::string& path) {
        if (std::optional<UUID> id = UUID::parse(*string_)) {
            return *id;
        }
        fail(path, "\"" + *string_ + "\" is not a UUID");
    }

    SessionStatus status(Kind kind) {
        if (kind == Kind::null) {
            return SessionStatus::unknown;
        }
        if (kind != Kind::string) {
            mismatch("lastKnownStatus", "a session status string", kind);
        }
        if (std::optional<SessionStatus> decoded = sessionStatusFromRawValue(*string_)) {
            return *decoded;
        }
        fail("lastKnownStatus", "\"" + *string_ + "\" is not a session status");
    }

    /// An integer clamped to the grid's bounds; one beyond 64 bits lands on the nearer bound.
    int gridSize(Kind kind, const std::string& path) {
        if (kind == Kind::unsignedInteger) {
            return unsigned_ > static_cast<std::uint64_t>(maximumGridSize)
                       ? maximumGridSize
                       : std::max(static_cast<int>(unsigned_), minimumGridSize);
        }
        if (kind == Kind::integer) {
            return static_cast<int>(
                std::clamp<std::int64_t>(integer_, minimumGridSize, maximumGridSize));
        }
        mismatch(path, "an integer", kind);
    }

    void finishLastActive() {
        constexpr const char* key = "lastActiveSessionByWorkspace";
        if (lastActive_.size() % 2 != 0) {
            throw DecodingError(key, "expected an even number of elements (workspace and "
                                     "session IDs alternating), found " +
                                         std::to_string(lastActive_.size()));
        }
        state_.lastActiveSessionByWorkspace.clear();
        for (size_t i = 0; i < lastActive_.size(); i += 2) {
            state_.lastActiveSessionByWorkspace.insert_or_assign(lastActive_[i],
                                                                 lastActive_[i + 1]);
        }
    }

    template <size_t N> void requireAll(const std::array<std::string_view, N>& keys) {
        for (size_t i = 0; i < N; ++i) {
            if ((seenFields_ & (1u << i)) == 0) {
                fail(std::string(keys[i]), "required key is missing");
            }
        }
    }

    // MARK: Errors

    [[noreturn]] void mismatch(const std::string& path, const char* expected, Kind found) {
        fail(path, std::string("expected ") + expected + ", found " + kindName(found));
    }

    /// Throws for the value at `path` inside the record being read (or the document).
    [[noreturn]] void fail(const std::string& path, const std::string& reason) {
        DecodingError error(path, reason);
        switch (level_) {
        case Level::workspaces:
        case Level::workspace:
            throw error.nested("workspaces[" + std::to_string(recordIndex() - 1) + "]");
        case Level::sessions:
        case Level::session:
        case Level::reviewedFiles:
        case Level::gridLayout:
        case Level::gridTitles:
            throw error.nested("sessions[" + std::to_string(recordIndex() - 1) + "]");
        default:
            throw error;
        }
    }

    /// One past the position of the record being read; for a value in the list itself (not
    /// an object), the position that value would have taken.
    size_t recordIndex() const {
        bool inList = level_ == Level::workspaces || level_ == Level::sessions;
        size_t count = level_ == Level::workspaces || level_ == Level::workspace
                           ? state_.workspaces.size()
                           : state_.sessions.size();
        return inList ? count + 1 : count;
    }

    std::string lastActivePath() const {
        return "lastActiveSessionByWorkspace[" + std::to_string(lastActive_.size()) + "]";
    }

    /// The location of the value the parser is reading, inside the current record.
    std::string currentPath() const {
        if (field_ == Field::unknown &&
            (level_ == Level::document || level_ == Level::workspace || level_ == Level::session)) {
            return unknownKey_;
        }
        switch (level_) {
        case Level::document:
            for (const FieldName& entry : documentFields) {
                if (entry.field == field_) {
                    return std::string(entry.name);
                }
            }
            return "";
        case Level::workspace:
            for (const FieldName& entry : workspaceFields) {
                if (entry.field == field_) {
                    return std::string(entry.name);
                }
            }
            return "";
        case Level::session:
            for (const FieldName& entry : sessionFields) {
                if (entry.field == field_) {
                    return std::string(entry.name);
                }
            }
            return "";
        case Level::reviewedFiles:
            return "reviewedFiles[\"" + reviewedKey_ + "\"]";
        case Level::gridLayout:
            return "gridLayout[" + std::to_string(state_.sessions.back().gridLayout->size()) + "]";
        case Level::gridTitles:
            return "gridTitles[" + std::to_string(state_.sessions.back().gridTitles->size()) + "]";
        case Level::lastActive:
            return lastActivePath();
        default:
            return "";
        }
    }

    size_t documentSize_;
    PersistedState state_;
    Level level_ = Level::top;
    Field field_ = Field::unknown;
    /// Depth inside a value being skipped; 0 when not skipping.
    int skipDepth_ = 0;
    /// Required keys seen in the record being read (bits of `requiredBit`).
    unsigned seenFields_ = 0;
    bool seenWorkspaces_ = false;
    bool seenSessions_ = false;
    std::string reviewedKey_;
    std::string unknownKey_;
    std::vector<UUID> lastActive_;
    // The payload of the event being handled.
    bool boolean_ = false;
    std::int64_t integer_ = 0;
    std::uint64_t unsigned_ = 0;
    std::string* string_ = nullptr;
};

} // namespace

PersistedState decodePersistedState(std::string_view text) {
    StateReader reader(text.size());
    JSONEventReader<StateReader>(text, reader).read();
    return reader.take();
}

} // namespace OrvexCore
