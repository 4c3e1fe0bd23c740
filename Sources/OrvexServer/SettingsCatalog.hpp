#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace OrvexCore {
class AppSettings;
class UserDefaults;
} // namespace OrvexCore

namespace OrvexServer {

/// The settings a person edits, described for clients that cannot repair values themselves
/// (the web page): for each one its key, a title and a one-line explanation, the kind of
/// control it needs, its range or choices, its default and its current value. Assigning goes
/// through `AppSettings`, whose repair rules are the only ones; the catalogue only says in
/// words what a repair did. Older keys the settings migrate from are not described.
///
/// Main executor only (it reads and assigns the server's `AppSettings`).
namespace SettingsCatalog {

/// What an assignment left in the settings.
struct Assignment {
    /// The value now stored, in the form `describe` reports it.
    nlohmann::json value;
    /// Why the stored value differs from the one given ("40 is outside 10 to 24: set to 24");
    /// nothing when it was stored as given.
    std::optional<std::string> repair;
};

/// True when `key` is a described setting.
bool describes(const std::string& key);

/// Every described setting in display order: objects with `key`, `group`, `title`,
/// `explanation`, `kind` (`choice`, `integer`, `number`, `text`, `path`, `boolean`, `list`,
/// `identifiers`), `min` and `max` for numbers, `choices` (`value`, `label`) for choices,
/// `default`, `value`, and `custom` (whether `defaults` holds the key).
nlohmann::json describe(const OrvexCore::AppSettings& settings,
                        const OrvexCore::UserDefaults& defaults);

/// The font tokens of `settings`: `uiSize`, `codeSize`, `secondarySize`, `smallSize`,
/// `iconSize`, `uiFontFamily`, `codeFontFamily`, `fontSmoothingEnabled`.
nlohmann::json fontTokens(const OrvexCore::AppSettings& settings);

/// The current value of the described setting `key` (null for any other key).
nlohmann::json value(const OrvexCore::AppSettings& settings, const std::string& key);

/// Assigns `value` to the described setting `key` through its setter, which repairs it and
/// writes it to the settings' store. Throws ProtocolError("invalidParams") when `key` is not
/// described or `value` has the wrong type for its kind (a string for a number, a fraction for
/// a whole number, a list holding something other than strings).
Assignment assign(OrvexCore::AppSettings& settings, const std::string& key,
                  const nlohmann::json& value);

} // namespace SettingsCatalog
} // namespace OrvexServer
