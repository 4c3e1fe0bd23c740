#include "OrvexCore/Terminal/TerminalController.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "OrvexCore/Models/SlugGenerator.hpp"
#include "OrvexCore/Terminal/TerminalStatusSource.hpp"
#include "OrvexCore/Terminal/TerminalSurfaceLifecycle.hpp"

extern char** environ;

namespace OrvexCore {

namespace {

constexpr std::array<std::string_view, 4> kLoaderVariables = {
    "DYLD_INSERT_LIBRARIES", "DYLD_LIBRARY_PATH", "DYLD_FRAMEWORK_PATH",
    "DYLD_FALLBACK_LIBRARY_PATH"};

TerminalController::NameGenerator standardNames() {
    return [generator = SlugGenerator::standard()](const std::unordered_set<std::string>& taken) {
        return generator.generate(taken);
    };
}

std::int64_t shapeTotal(const TerminalGridShape& shape) {
    std::int64_t total = 0;
    for (const auto size : shape) {
        total += std::max<std::int64_t>(size, 0);
    }
    return total;
}

const TerminalRef* newest(const std::vector<TerminalRef>& refs) {
    const TerminalRef* best = nullptr;
    for (const auto& ref : refs) {
        if (!best || ref.order > best->order) {
            best = &ref;
        }
    }
    return best;
}

std::optional<size_t> indexOf(const std::vector<TerminalRef>& refs, const UUID& id) {
    const auto found = std::find_if(refs.begin(), refs.end(),
                                    [&id](const TerminalRef& ref) { return ref.id == id; });
    if (found == refs.end()) {
        return std::nullopt;
    }
    return static_cast<size_t>(found - refs.begin());
}

} // namespace

/// Everything one incremental grid open carries for its whole run.
struct TerminalController::GridOpenTask {
    boost::asio::any_io_executor executor;
    std::weak_ptr<TerminalController> controller;
    UUID sessionID;
    UUID token;
    std::vector<UUID> opened;
    std::int64_t total;
    std::string cwd;
    std::optional<std::string> command;
    std::optional<std::vector<std::string>> titles;
    TerminalGridShape shape;
    std::shared_ptr<bool> cancelled;
};

TerminalController::TerminalController(boost::asio::any_io_executor mainExecutor,
                                       std::unique_ptr<TerminalEngine> engine)
    : TerminalController(std::move(mainExecutor), std::move(engine), standardNames()) {}

TerminalController::TerminalController(boost::asio::any_io_executor mainExecutor,
                                       std::unique_ptr<TerminalEngine> engine,
                                       NameGenerator nameGenerator)
    : executor_(std::move(mainExecutor)), engine_(std::move(engine)),
      nameGenerator_(std::move(nameGenerator)) {
    if (!engine_) {
        throw std::invalid_argument("TerminalController needs an engine");
    }
}

std::map<std::string, std::string>
TerminalController::filterEnvironment(std::map<std::string, std::string> environment) {
    for (const auto name : kLoaderVariables) {
        environment.erase(std::string(name));
    }
    return environment;
}

const std::map<std::string, std::string>& TerminalController::filteredEnvironment() {
    // Read once: later changes to this process's environment do not reach new terminals.
    static const std::map<std::string, std::string> environment = [] {
        std::map<std::string, std::string> variables;
        for (char** entry = environ; entry && *entry; ++entry) {
            const std::string_view text(*entry);
            const auto equals = text.find('=');
            if (equals == std::string_view::npos) {
                continue;
            }
            // The first definition wins, as for getenv.
            variables.try_emplace(std::string(text.substr(0, equals)),
                                  std::string(text.substr(equals + 1)));
        }
        return filterEnvironment(std::move(variables));
    }();
    return environment;
}

// MARK: Launching

TerminalRef TerminalController::launch(const UUID& sessionID, const std::string& cwd,
                                       const std::optional<std::string>& command,
                                       std::int64_t order, std::optional<std::string> title) {
    auto handle = engine_->makeTerminal(cwd, command, filteredEnvironment());
    if (!handle) {
        throw std::logic_error("the terminal engine returned no handle");
    }
    if (!title) {
        std::unordered_set<std::string> taken;
        for (const auto& ref : terminals(sessionID)) {
            taken.insert(ref.title);
        }
        title = nameGenerator_(taken);
    }
    TerminalRef ref(sessionID, handle, order, std::move(*title), cwd, command);
    installCallbacks(*handle, ref.id);
    return ref;
}

void TerminalController::installCallbacks(TerminalHandle& handle, const UUID& terminalID) {
    std::weak_ptr<TerminalController> weak = weak_from_this();
    handle.onFocusChange = [weak, terminalID](bool focused) {
        if (auto self = weak.lock()) {
            self->handleFocus(terminalID, focused);
        }
    };
    handle.onExit = [weak, terminalID](std::optional<std::int32_t> exitCode) {
        if (auto self = weak.lock()) {
            self->handleExit(terminalID, exitCode);
        }
    };
}

TerminalRef TerminalController::appendLaunched(const UUID& sessionID, const std::string& cwd,
                                               const std::optional<std::string>& command,
                                               std::optional<std::string> title) {
    TerminalRef ref = launch(sessionID, cwd, command, nextOrder_, std::move(title));
    ++nextOrder_;
    terminals_.modify([&ref](auto& list) { list.push_back(ref); });
    invalidateIndex();
    return ref;
}

void TerminalController::handleFocus(const UUID& terminalID, bool focused) {
    if (focused) {
        focusedTerminalID_.set(terminalID);
    } else if (focusedTerminalID_.get() == terminalID) {
        focusedTerminalID_.set(std::nullopt);
    }
}

void TerminalController::handleExit(const UUID& terminalID, std::optional<std::int32_t> exitCode) {
    const auto index = indexOf(terminals_.get(), terminalID);
    if (!index) {
        return;
    }
    const auto handle = terminals_.get()[*index].handle;
    handle->auxiliaryCallback = nullptr;
    handle->terminate();
    // Looked up again: an engine may call back into the controller from terminate().
    const auto current = indexOf(terminals_.get(), terminalID);
    if (!current) {
        return;
    }
    terminals_.modify([&](auto& list) {
        list[*current].isExited = true;
        list[*current].exitCode = exitCode;
    });
    invalidateIndex();
    if (onTerminalExit) {
        const TerminalRef updated = terminals_.get()[*current];
        auto callback = onTerminalExit;
        callback(updated, exitCode);
    }
}

// MARK: Terminal operations

const std::vector<TerminalRef>& TerminalController::terminals(const UUID& sessionID) {
    static const std::vector<TerminalRef> none;
    if (!sessionIndexValid_) {
        rebuildSessionIndex();
    }
    const auto found = sessionIndex_.find(sessionID);
    return found == sessionIndex_.end() ? none : found->second;
}

void TerminalController::rebuildSessionIndex() {
    sessionIndex_.clear();
    for (const auto& ref : terminals_.get()) {
        sessionIndex_[ref.sessionID].push_back(ref);
    }
    for (auto& [session, refs] : sessionIndex_) {
        std::stable_sort(refs.begin(), refs.end(), [](const TerminalRef& a, const TerminalRef& b) {
            return a.order < b.order;
        });
    }
    sessionIndexValid_ = true;
}

TerminalRef TerminalController::openPrimary(const Session& session,
                                            std::optional<std::string> command) {
    return appendLaunched(session.id, session.worktreePath, command, std::nullopt);
}

TerminalController::OpenOutcome
TerminalController::focusOrOpen(const Session& session, std::optional<std::string> command) {
    if (const TerminalRef* ref = newest(terminals(session.id))) {
        return OpenOutcome::focus(*ref);
    }
    return OpenOutcome::opened(openPrimary(session, std::move(command)));
}

TerminalRef TerminalController::createAdditional(const Session& session) {
    return appendLaunched(session.id, session.worktreePath, std::nullopt, std::nullopt);
}

void TerminalController::rename(const UUID& terminalID, std::string title) {
    const auto index = indexOf(terminals_.get(), terminalID);
    if (!index) {
        return;
    }
    terminals_.modify([&](auto& list) { list[*index].title = std::move(title); });
    invalidateIndex();
}

void TerminalController::restart(const UUID& terminalID) {
    const auto index = indexOf(terminals_.get(), terminalID);
    if (!index) {
        return;
    }
    const TerminalRef old = terminals_.get()[*index];
    // onExit is cleared first so that the old process's end is never reported.
    old.handle->onExit = nullptr;
    old.handle->auxiliaryCallback = nullptr;
    old.handle->terminate();

    auto handle = engine_->makeTerminal(old.cwd, old.command, filteredEnvironment());
    if (!handle) {
        throw std::logic_error("the terminal engine returned no handle");
    }
    TerminalRef fresh(old.sessionID, handle, old.order, old.title, old.cwd, old.command);
    installCallbacks(*handle, fresh.id);

    const auto current = indexOf(terminals_.get(), terminalID);
    if (!current) {
        // Closed from inside terminate(): the fresh terminal has no place to go.
        tearDown(fresh);
        return;
    }
    terminals_.modify([&](auto& list) { list[*current] = fresh; });
    invalidateIndex();

    const auto stored = layouts_.find(old.sessionID);
    if (stored != layouts_.end()) {
        TerminalLayout layout = stored->second;
        for (auto& row : layout) {
            const auto found = std::find(row.begin(), row.end(), old.id);
            if (found != row.end()) {
                *found = fresh.id;
            }
        }
        storeLayout(old.sessionID, std::move(layout));
    }
}

void TerminalController::tearDown(const TerminalRef& ref) {
    if (focusedTerminalID_.get() == ref.id) {
        focusedTerminalID_.set(std::nullopt);
    }
    ref.handle->onExit = nullptr;
    ref.handle->auxiliaryCallback = nullptr;
    ref.handle->onFocusChange = nullptr;
    if (auto source = ref.handle->statusSource()) {
        source->onUpdate = nullptr;
    }
    ref.handle->terminate();
}

void TerminalController::close(const UUID& terminalID) {
    const auto index = indexOf(terminals_.get(), terminalID);
    if (!index) {
        return;
    }
    const TerminalRef ref = terminals_.get()[*index];
    cancelGridOpen(ref.sessionID);
    tearDown(ref);
    if (indexOf(terminals_.get(), terminalID)) {
        terminals_.modify([&terminalID](auto& list) {
            std::erase_if(list, [&terminalID](const TerminalRef& r) { return r.id == terminalID; });
        });
        invalidateIndex();
    }
}

void TerminalController::closeAll(const UUID& sessionID) {
    cancelGridOpen(sessionID);
    std::vector<TerminalRef> doomed;
    for (const auto& ref : terminals_.get()) {
        if (ref.sessionID == sessionID) {
            doomed.push_back(ref);
        }
    }
    for (const auto& ref : doomed) {
        tearDown(ref);
    }
    const auto belongs = [&sessionID](const TerminalRef& r) { return r.sessionID == sessionID; };
    if (std::any_of(terminals_.get().begin(), terminals_.get().end(), belongs)) {
        terminals_.modify([&belongs](auto& list) { std::erase_if(list, belongs); });
        invalidateIndex();
    }
    if (layouts_.erase(sessionID) > 0 && onLayoutChange) {
        auto callback = onLayoutChange;
        callback(sessionID);
    }
}

void TerminalController::closeAllTerminals() {
    for (auto& [session, entry] : gridOpenTasks_) {
        *entry.cancelled = true;
    }
    gridOpenTasks_.clear();
    const std::vector<TerminalRef> doomed = terminals_.get();
    for (const auto& ref : doomed) {
        tearDown(ref);
    }
    if (!terminals_.get().empty()) {
        terminals_.modify([](auto& list) { list.clear(); });
        invalidateIndex();
    }
}

void TerminalController::cancelGridOpen(const UUID& sessionID) {
    const auto found = gridOpenTasks_.find(sessionID);
    if (found != gridOpenTasks_.end()) {
        *found->second.cancelled = true;
        gridOpenTasks_.erase(found);
    }
}

// MARK: Foreground session

void TerminalController::setActiveSession(std::optional<UUID> sessionID) {
    if (sessionID == activeSessionID_) {
        return;
    }
    const std::optional<UUID> previous = activeSessionID_;
    activeSessionID_ = sessionID;
    if (previous) {
        // Deferred, so that switching away and back within one turn suspends nothing; the
        // check when it runs is what cancels it.
        boost::asio::post(executor_, [weak = weak_from_this(), previous = *previous] {
            auto self = weak.lock();
            if (self && self->activeSessionID_ != previous) {
                self->suspendSurfaces(previous);
            }
        });
    }
    if (sessionID) {
        resumeSurfaces(*sessionID);
    }
}

void TerminalController::suspendSurfaces(const UUID& sessionID) {
    const std::vector<TerminalRef> refs = terminals(sessionID);
    for (const auto& ref : refs) {
        if (ref.isExited) {
            continue;
        }
        if (auto* surface = dynamic_cast<TerminalSurfaceLifecycle*>(ref.handle.get())) {
            surface->suspendSurface();
        }
    }
}

void TerminalController::resumeSurfaces(const UUID& sessionID) {
    const std::vector<TerminalRef> refs = terminals(sessionID);
    for (const auto& ref : refs) {
        if (ref.isExited) {
            continue;
        }
        if (auto* surface = dynamic_cast<TerminalSurfaceLifecycle*>(ref.handle.get())) {
            surface->resumeSurface();
        }
    }
}

// MARK: Layouts

void TerminalController::storeLayout(const UUID& sessionID, TerminalLayout layout) {
    layouts_[sessionID] = std::move(layout);
    if (onLayoutChange) {
        auto callback = onLayoutChange;
        callback(sessionID);
    }
}

TerminalLayout TerminalController::layout(const UUID& sessionID) {
    const std::vector<TerminalRef>& refs = terminals(sessionID);
    // Sessions hold a handful of terminals; a linear search beats hashing there, and a set
    // keeps a large grid from turning quadratic.
    constexpr size_t kLinearLimit = 24;
    std::unordered_set<UUID> liveSet;
    if (refs.size() > kLinearLimit) {
        liveSet.reserve(refs.size());
        for (const auto& ref : refs) {
            liveSet.insert(ref.id);
        }
    }
    const auto isLive = [&](const UUID& id) {
        if (refs.size() > kLinearLimit) {
            return liveSet.count(id) > 0;
        }
        return std::any_of(refs.begin(), refs.end(),
                           [&id](const TerminalRef& ref) { return ref.id == id; });
    };

    TerminalLayout result;
    std::unordered_set<UUID> placedSet;
    std::vector<UUID> placedList;
    const auto stored = layouts_.find(sessionID);
    if (stored != layouts_.end()) {
        for (const auto& row : stored->second) {
            std::vector<UUID> kept;
            for (const auto& id : row) {
                if (isLive(id)) {
                    kept.push_back(id);
                    if (refs.size() > kLinearLimit) {
                        placedSet.insert(id);
                    } else {
                        placedList.push_back(id);
                    }
                }
            }
            if (!kept.empty()) {
                result.push_back(std::move(kept));
            }
        }
    }
    for (const auto& ref : refs) {
        const bool placed =
            refs.size() > kLinearLimit
                ? placedSet.count(ref.id) > 0
                : std::find(placedList.begin(), placedList.end(), ref.id) != placedList.end();
        if (!placed) {
            result.push_back({ref.id});
        }
    }
    return result;
}

void TerminalController::setLayout(TerminalLayout layout, const UUID& sessionID) {
    storeLayout(sessionID, std::move(layout));
}

std::vector<std::string> TerminalController::orderedTitles(const UUID& sessionID) {
    const TerminalLayout rows = layout(sessionID);
    const std::vector<TerminalRef>& refs = terminals(sessionID);
    std::vector<std::string> titles;
    for (const auto& row : rows) {
        for (const auto& id : row) {
            if (const auto index = indexOf(refs, id)) {
                titles.push_back(refs[*index].title);
            }
        }
    }
    return titles;
}

// MARK: Grids

TerminalController::OpenOutcome TerminalController::openOrFocusGrid(const Session& session) {
    if (const TerminalRef* ref = newest(terminals(session.id))) {
        return OpenOutcome::focus(*ref);
    }
    TerminalGridShape shape;
    if (session.gridLayout && !session.gridLayout->empty()) {
        shape.assign(session.gridLayout->begin(), session.gridLayout->end());
    } else {
        shape.assign(static_cast<size_t>(std::max(session.gridRows, 1)),
                     std::max(session.gridCols, 1));
    }
    if (shapeTotal(shape) > 0) {
        return OpenOutcome::opened(beginIncrementalGridOpen(
            session, std::move(shape), session.initialCommand, session.gridTitles));
    }
    return OpenOutcome::opened(openPrimary(session, session.initialCommand));
}

TerminalRef TerminalController::openGrid(const Session& session, int rows, int cols,
                                         std::optional<std::string> command) {
    TerminalGridShape shape(static_cast<size_t>(std::max(rows, 1)), std::max(cols, 1));
    return beginIncrementalGridOpen(session, std::move(shape), std::move(command), std::nullopt);
}

bool TerminalController::isOpeningGrid(const UUID& sessionID) const {
    return gridOpenTasks_.count(sessionID) > 0;
}

TerminalLayout TerminalController::buildPartialGridLayout(const std::vector<UUID>& ids,
                                                          const TerminalGridShape& shape) {
    TerminalLayout layout;
    size_t start = 0;
    for (const auto size : shape) {
        if (start >= ids.size()) {
            break;
        }
        const size_t count = size > 0 ? std::min(static_cast<size_t>(size), ids.size() - start) : 0;
        layout.emplace_back(ids.begin() + static_cast<std::ptrdiff_t>(start),
                            ids.begin() + static_cast<std::ptrdiff_t>(start + count));
        start += count;
    }
    return layout;
}

TerminalRef
TerminalController::beginIncrementalGridOpen(const Session& session, TerminalGridShape shape,
                                             std::optional<std::string> command,
                                             std::optional<std::vector<std::string>> titles) {
    closeAll(session.id);
    std::optional<std::string> firstTitle;
    if (titles && !titles->empty()) {
        firstTitle = titles->front();
    }
    const TerminalRef first =
        appendLaunched(session.id, session.worktreePath, command, std::move(firstTitle));
    std::vector<UUID> opened{first.id};
    storeLayout(session.id, buildPartialGridLayout(opened, shape));

    const std::int64_t total = shapeTotal(shape);
    cancelGridOpen(session.id);
    if (total <= 1) {
        return first;
    }
    auto task = std::make_shared<GridOpenTask>(
        GridOpenTask{executor_, weak_from_this(), session.id, UUID(), std::move(opened), total,
                     session.worktreePath, std::move(command), std::move(titles), std::move(shape),
                     std::make_shared<bool>(false)});
    gridOpenTasks_[session.id] = GridOpenEntry{task->token, task->cancelled};

    auto run = [](std::shared_ptr<GridOpenTask> task) -> boost::asio::awaitable<void> {
        while (static_cast<std::int64_t>(task->opened.size()) < task->total) {
            // A yield, not a delay: each terminal starts in a later turn than the one before,
            // so drawing and input run in between.
            co_await boost::asio::post(task->executor, boost::asio::use_awaitable);
            auto self = task->controller.lock();
            if (!self || *task->cancelled) {
                co_return;
            }
            self->openNextGridTerminal(*task);
        }
    };
    // However the task ends (done, cancelled, or an engine that threw, which no caller waits
    // for), its entry goes, unless a newer grid open of the session has replaced it.
    boost::asio::co_spawn(
        executor_, run(task),
        [weak = weak_from_this(), sessionID = session.id, token = task->token](std::exception_ptr) {
            if (auto self = weak.lock()) {
                self->finishGridOpen(sessionID, token);
            }
        });
    return first;
}

void TerminalController::openNextGridTerminal(GridOpenTask& task) {
    const size_t index = task.opened.size();
    std::optional<std::string> title;
    if (task.titles && task.titles->size() > index) {
        title = (*task.titles)[index];
    }
    const TerminalRef ref =
        appendLaunched(task.sessionID, task.cwd, task.command, std::move(title));
    task.opened.push_back(ref.id);
    storeLayout(task.sessionID, buildPartialGridLayout(task.opened, task.shape));
}

void TerminalController::finishGridOpen(const UUID& sessionID, const UUID& token) {
    const auto found = gridOpenTasks_.find(sessionID);
    if (found != gridOpenTasks_.end() && found->second.token == token) {
        gridOpenTasks_.erase(found);
    }
}

} // namespace OrvexCore
