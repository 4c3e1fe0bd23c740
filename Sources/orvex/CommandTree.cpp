#include "orvex/CommandTree.hpp"

#include <CLI/CLI.hpp>

namespace Orvex {
namespace {

/// The kind of value from the option's names, as the commands name their arguments.
void classify(OptionInfo& option) {
    auto named = [&](std::string_view name) {
        return option.valueName == name ||
               std::find(option.longNames.begin(), option.longNames.end(), name) !=
                   option.longNames.end();
    };
    if (named("SESSION")) {
        option.kind = ValueKind::session;
    } else if (named("WORKSPACE") || named("workspace")) {
        option.kind = ValueKind::workspace;
    } else if (named("PATH") || named("FILE")) {
        option.kind = ValueKind::file;
    } else if (named("color")) {
        option.kind = ValueKind::word;
        option.words = {"auto", "always", "never"};
    } else if (named("editor")) {
        option.kind = ValueKind::word;
        option.words = {"vscode", "cursor", "xcode"};
    } else if (named("SHELL")) {
        option.kind = ValueKind::word;
        option.words = {"bash", "zsh", "fish"};
    }
}

std::vector<OptionInfo> optionsOf(const CLI::App& app) {
    std::vector<OptionInfo> list;
    for (const CLI::Option* opt : app.get_options()) {
        OptionInfo info;
        info.longNames = opt->get_lnames();
        info.shortNames = opt->get_snames();
        info.positional = !opt->nonpositional();
        info.takesValue = opt->get_expected_max() != 0;
        info.valueName = info.positional ? opt->get_name() : "";
        if (!info.positional && info.takesValue) {
            std::string upper = info.longNames.empty() ? "VALUE" : info.longNames.front();
            for (auto& c : upper) {
                c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            info.valueName = upper;
        }
        info.help = opt->get_description();
        classify(info);
        list.push_back(std::move(info));
    }
    return list;
}

} // namespace

CommandTree describeCommands(CLI::App& app) {
    CommandTree tree;
    tree.name = app.get_name();
    tree.description = app.get_description();
    tree.footer = app.get_footer();
    tree.options = optionsOf(app);
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
        if (sub->get_group().empty()) {
            continue;
        }
        CommandInfo command;
        command.name = sub->get_name();
        command.description = sub->get_description();
        while (!command.description.empty() && command.description.back() == '\n') {
            command.description.pop_back();
        }
        command.footer = sub->get_footer();
        command.options = optionsOf(*sub);
        tree.commands.push_back(std::move(command));
    }
    return tree;
}

} // namespace Orvex
