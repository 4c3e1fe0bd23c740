#include <fmt/format.h>

#include "OrvexCore/OrvexCore.hpp"
#include "orvex/CommandTree.hpp"

namespace Orvex {
namespace {

/// Text safe in roff: backslashes doubled, a leading dot or quote escaped, dashes kept as
/// hyphen-minus so that options can be copied.
std::string roff(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else if (lineStart && (c == '.' || c == '\'')) {
            out += "\\&";
            out += c;
        } else {
            out += c;
        }
        lineStart = c == '\n';
    }
    return out;
}

std::string optionLine(const OptionInfo& o) {
    std::string names;
    for (const auto& s : o.shortNames) {
        names += (names.empty() ? "" : ", ") + std::string("\\fB\\-") + s + "\\fR";
    }
    for (const auto& l : o.longNames) {
        names += (names.empty() ? "" : ", ") + std::string("\\fB\\-\\-") + roff(l) + "\\fR";
    }
    if (o.takesValue) {
        names += " \\fI" + roff(o.valueName) + "\\fR";
    }
    return fmt::format(".TP\n{}\n{}\n", names, roff(o.help));
}

/// Text whose lines are kept as they are (examples, tables).
std::string verbatim(const std::string& text) {
    return ".nf\n" + roff(text) + "\n.fi\n";
}

} // namespace

std::string manualPage(const CommandTree& tree) {
    std::string out =
        fmt::format(".TH ORVEX 1 \"\" \"orvex {}\" \"User Commands\"\n", OrvexCore::version);
    out += ".SH NAME\norvex \\- run coding assistants side by side on one git repository\n";
    out += ".SH SYNOPSIS\n.B orvex\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]\n";
    out += ".SH DESCRIPTION\n" + verbatim(tree.description);
    out += ".SH OPTIONS\n";
    for (const auto& o : tree.options) {
        if (!o.positional) {
            out += optionLine(o);
        }
    }
    out += ".SH COMMANDS\n";
    for (const auto& c : tree.commands) {
        std::string usage;
        for (const auto& o : c.options) {
            if (o.positional) {
                usage += " \\fI" + roff(o.valueName) + "\\fR";
            }
        }
        out += fmt::format(".SS \"orvex {}\"\n.B orvex {}\n[\\fIOPTIONS\\fR]{}\n.PP\n", c.name,
                           c.name, usage);
        out += verbatim(c.description);
        for (const auto& o : c.options) {
            if (o.positional) {
                out += fmt::format(".TP\n\\fI{}\\fR\n{}\n", roff(o.valueName), roff(o.help));
            } else if (o.longNames != std::vector<std::string>{"help"}) {
                out += optionLine(o);
            }
        }
    }
    out += ".SH FILES, NAMES AND EXIT STATUS\n" + verbatim(tree.footer);
    out += ".SH SEE ALSO\n.BR git (1),\n.BR git\\-worktree (1)\n";
    return out;
}

} // namespace Orvex
