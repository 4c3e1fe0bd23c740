#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "OrvexCore/External/Editor.hpp"
#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Settings/AppTheme.hpp"
#include "OrvexCore/Settings/ReduceMotion.hpp"
#include "OrvexCore/Settings/UserDefaults.hpp"
#include "OrvexCore/Util/Observable.hpp"

namespace OrvexCore {

/// The user's preferences, each kept in a `UserDefaults` store under the key named after the
/// property. Every key is read once at creation, with out-of-range and malformed values
/// repaired (not written back) and older keys migrated.
///
/// Each property has a getter, a setter and its `Observable`. A setter repairs the value first
/// (clamps, line breaks, the sessions root rule), so observers only ever see repaired values
/// and are notified only when the repaired value differs from the current one; the repaired
/// value is written to the store on every assignment, changed or not. `isDiffPanelOpen` is held
/// in memory only.
///
/// Main executor only: observers run synchronously inside the setter.
class AppSettings {
public:
    /// The narrowest the diff panel gets, in points.
    static constexpr double minDiffPanelWidth = 500.0;

    /// Reads every setting from `defaults` (not null), which it keeps and writes to.
    explicit AppSettings(std::shared_ptr<UserDefaults> defaults);
    AppSettings(const AppSettings&) = delete;
    AppSettings& operator=(const AppSettings&) = delete;

    /// The editor worktrees open in; an unknown stored name reads as `vscode`.
    Editor defaultEditor() const { return defaultEditor_.get(); }
    void setDefaultEditor(Editor value);
    const Observable<Editor>& defaultEditorObservable() const { return defaultEditor_; }

    /// The grid of a new session: 1 to 6 rows and columns.
    int newBranchRows() const { return newBranchRows_.get(); }
    void setNewBranchRows(int value);
    const Observable<int>& newBranchRowsObservable() const { return newBranchRows_; }

    int newBranchCols() const { return newBranchCols_.get(); }
    void setNewBranchCols(int value);
    const Observable<int>& newBranchColsObservable() const { return newBranchCols_; }

    /// The command a new session's first terminal runs, on one line (line feeds and carriage
    /// returns are removed).
    const std::string& newBranchCommand() const { return newBranchCommand_.get(); }
    void setNewBranchCommand(std::string value);
    const Observable<std::string>& newBranchCommandObservable() const { return newBranchCommand_; }

    /// Interface text size, 10 to 24 points.
    double uiFontSize() const { return uiFontSize_.get(); }
    void setUiFontSize(double value);
    const Observable<double>& uiFontSizeObservable() const { return uiFontSize_; }

    /// Code and terminal text size, 9 to 24 points.
    double codeFontSize() const { return codeFontSize_.get(); }
    void setCodeFontSize(double value);
    const Observable<double>& codeFontSizeObservable() const { return codeFontSize_; }

    /// Font families; empty means none was chosen.
    const std::string& uiFontFamily() const { return uiFontFamily_.get(); }
    void setUiFontFamily(std::string value);
    const Observable<std::string>& uiFontFamilyObservable() const { return uiFontFamily_; }

    const std::string& codeFontFamily() const { return codeFontFamily_.get(); }
    void setCodeFontFamily(std::string value);
    const Observable<std::string>& codeFontFamilyObservable() const { return codeFontFamily_; }

    /// Older names of `codeFontSize` and `codeFontFamily`; they read and write those.
    double terminalFontSize() const { return codeFontSize(); }
    void setTerminalFontSize(double value) { setCodeFontSize(value); }
    const std::string& terminalFontFamily() const { return codeFontFamily(); }
    void setTerminalFontFamily(std::string value) { setCodeFontFamily(std::move(value)); }

    bool fontSmoothingEnabled() const { return fontSmoothingEnabled_.get(); }
    void setFontSmoothingEnabled(bool value);
    const Observable<bool>& fontSmoothingEnabledObservable() const { return fontSmoothingEnabled_; }

    ReduceMotion reduceMotion() const { return reduceMotion_.get(); }
    void setReduceMotion(ReduceMotion value);
    const Observable<ReduceMotion>& reduceMotionObservable() const { return reduceMotion_; }

    AppTheme theme() const { return theme_.get(); }
    void setTheme(AppTheme value);
    const Observable<AppTheme>& themeObservable() const { return theme_; }

    AppTheme terminalTheme() const { return terminalTheme_.get(); }
    void setTerminalTheme(AppTheme value);
    const Observable<AppTheme>& terminalThemeObservable() const { return terminalTheme_; }

    /// The folder new worktrees go in: always the home folder or a folder inside it.
    const std::string& sessionsRootPath() const { return sessionsRootPath_.get(); }
    void setSessionsRootPath(std::string value);
    const Observable<std::string>& sessionsRootPathObservable() const { return sessionsRootPath_; }

    /// Workspaces whose sessions are hidden in the sidebar.
    const std::set<UUID>& collapsedWorkspaceIDs() const { return collapsedWorkspaceIDs_.get(); }
    void setCollapsedWorkspaceIDs(std::set<UUID> value);
    const Observable<std::set<UUID>>& collapsedWorkspaceIDsObservable() const {
        return collapsedWorkspaceIDs_;
    }

    /// Whether the diff panel shows; not stored, false at creation.
    bool isDiffPanelOpen() const { return isDiffPanelOpen_.get(); }
    void setIsDiffPanelOpen(bool value);
    const Observable<bool>& isDiffPanelOpenObservable() const { return isDiffPanelOpen_; }

    /// The diff panel's share of the window width, 0.15 to 0.75.
    double diffPanelWidthFraction() const { return diffPanelWidthFraction_.get(); }
    void setDiffPanelWidthFraction(double value);
    const Observable<double>& diffPanelWidthFractionObservable() const {
        return diffPanelWidthFraction_;
    }

    /// Seconds of silence after which a terminal's output no longer by itself means the
    /// program works, 0.2 to 10.0; the activity detector reads the processes from then on.
    double activityQuietSeconds() const { return activityQuietSeconds_.get(); }
    void setActivityQuietSeconds(double value);
    const Observable<double>& activityQuietSecondsObservable() const {
        return activityQuietSeconds_;
    }

    /// Substrings (any case) that make a terminal's last line a question. Stored trimmed, on
    /// one line, without empty patterns or patterns over 200 bytes, at most 64; a missing key
    /// gives `defaultActivityQuestionPatterns()`, an empty list is kept.
    const std::vector<std::string>& activityQuestionPatterns() const {
        return activityQuestionPatterns_.get();
    }
    void setActivityQuestionPatterns(std::vector<std::string> value);
    const Observable<std::vector<std::string>>& activityQuestionPatternsObservable() const {
        return activityQuestionPatterns_;
    }

    /// A shell command the server runs when a terminal nobody is attached to needs input or
    /// rings the bell; empty for none (then a desktop notification, where one can be shown).
    /// Stored on one line: line breaks are removed.
    const std::string& notifyCommand() const { return notifyCommand_.get(); }
    void setNotifyCommand(std::string value);
    const Observable<std::string>& notifyCommandObservable() const { return notifyCommand_; }
    /// The loopback port the server's web page listens on: 0 (the default) for any free port,
    /// else 1024 to 65535; anything else reads as 0.
    int webPort() const { return webPort_.get(); }
    void setWebPort(int value);

    /// How many unchanged lines in a row a patch view shows before it folds the run (keeping
    /// its first and last line), 1 to 1000; 4 by default. Patches carry 3 lines of context, so
    /// only runs between two nearby changes (up to 6 lines) can be long enough to fold.
    int diffFoldThreshold() const { return diffFoldThreshold_.get(); }
    void setDiffFoldThreshold(long long value);

    static constexpr double defaultActivityQuietSeconds = 1.0;
    static const std::vector<std::string>& defaultActivityQuestionPatterns();

    /// True when the store holds anything under "diffPanelWidthFraction", that is once the
    /// user has set a width (or an older width was migrated).
    bool hasCustomDiffPanelWidthFraction() const;

    /// The diff panel's width for a window `in` points wide: `minDiffPanelWidth` until the
    /// user has set a width or when `in` is not positive, else the fraction of `in` but no
    /// less than `minDiffPanelWidth`.
    double diffPanelWidth(double in) const;

    /// `path` with a leading "~" expanded and "." and ".." segments removed when the result is
    /// the home folder or lies inside it (compared by whole components); otherwise (relative,
    /// outside the home folder) the default "<home>/.orvex-sessions".
    static std::string sanitizedSessionsRoot(std::string_view path);

private:
    std::shared_ptr<UserDefaults> defaults_;

    Observable<Editor> defaultEditor_{Editor::vscode};
    Observable<int> newBranchRows_{1};
    Observable<int> newBranchCols_{1};
    Observable<std::string> newBranchCommand_;
    Observable<double> uiFontSize_{12.0};
    Observable<double> codeFontSize_{13.0};
    Observable<std::string> uiFontFamily_;
    Observable<std::string> codeFontFamily_;
    Observable<bool> fontSmoothingEnabled_{true};
    Observable<ReduceMotion> reduceMotion_{ReduceMotion::system};
    Observable<AppTheme> theme_{AppTheme::system};
    Observable<AppTheme> terminalTheme_{AppTheme::system};
    Observable<std::string> sessionsRootPath_;
    Observable<std::set<UUID>> collapsedWorkspaceIDs_;
    Observable<bool> isDiffPanelOpen_{false};
    Observable<double> diffPanelWidthFraction_{0.25};
    Observable<double> activityQuietSeconds_{defaultActivityQuietSeconds};
    Observable<std::vector<std::string>> activityQuestionPatterns_{
        defaultActivityQuestionPatterns()};
    Observable<std::string> notifyCommand_;
    Observable<int> webPort_{0};
    Observable<int> diffFoldThreshold_{4};
};

} // namespace OrvexCore
