// Diff presentation speed: the patch parser against a plain split of the same text into lines
// (the floor any parser pays), and word diff on realistic and worst-case line pairs.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "OrvexCore/Diff/DiffParser.hpp"
#include "OrvexCore/Diff/WordDiff.hpp"
#include "OrvexCore/Platform/Process.hpp"

using namespace OrvexCore;
namespace fs = std::filesystem;

namespace {

std::string git(const std::string& directory, const std::vector<std::string>& arguments) {
    std::vector<std::string> args{"git", "-C", directory};
    args.insert(args.end(), arguments.begin(), arguments.end());
    auto result = Platform::runToCompletion("/usr/bin/env", args);
    if (result.status != 0) {
        throw std::runtime_error("git failed: " + result.error);
    }
    return result.output;
}

/// Source-like lines: indentation, keywords, identifiers, calls, literals, now and then a
/// comment with non-ASCII text.
std::string sourceLine(std::mt19937& random, int salt) {
    static const char* words[] = {"value",  "count",   "result",   "index", "buffer", "name",
                                  "offset", "session", "worktree", "patch", "line",   "state"};
    static const char* keywords[] = {"auto",        "const auto&", "if (", "return",
                                     "for (auto& ", "std::string", "int"};
    auto word = [&] { return std::string(words[random() % std::size(words)]); };
    std::string line(4 * (random() % 4), ' ');
    switch (random() % 6) {
    case 0:
        line +=
            "// " + word() + " " + word() + (random() % 8 == 0 ? " caf\xC3\xA9 na\xC3\xAFve" : "");
        break;
    case 1:
        line += "}";
        break;
    default:
        line += std::string(keywords[random() % std::size(keywords)]) + " " + word() + "_" +
                std::to_string(salt % 97) + " = " + word() + "." + word() + "(" + word() + ", " +
                std::to_string(random() % 1000) + ");";
    }
    return line + "\n";
}

/// A real patch of some tens of MB: `git diff` between two commits of a tree of 1,200 source
/// files in which every seventh line changed (so hunks run together, as in a large rewrite).
const std::string& bigPatch() {
    static const std::string patch = [] {
        std::string pattern = (fs::temp_directory_path() / "orvex-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        std::string repo = pattern;
        git(repo, {"init", "-q", "-b", "main"});
        git(repo, {"config", "user.name", "Orvex Bench"});
        git(repo, {"config", "user.email", "bench@orvex.invalid"});
        std::mt19937 random(42);
        std::vector<std::vector<std::string>> files(1200);
        for (size_t f = 0; f < files.size(); ++f) {
            for (int l = 0; l < 700; ++l) {
                files[f].push_back(sourceLine(random, l));
            }
        }
        auto writeAll = [&] {
            for (size_t f = 0; f < files.size(); ++f) {
                std::string dir = repo + "/src/module" + std::to_string(f % 40);
                fs::create_directories(dir);
                std::ofstream out(dir + "/file" + std::to_string(f) + ".cpp", std::ios::trunc);
                for (const auto& line : files[f]) {
                    out << line;
                }
            }
        };
        writeAll();
        git(repo, {"add", "-A"});
        git(repo, {"commit", "-q", "-m", "before"});
        for (auto& lines : files) {
            for (size_t l = 3; l < lines.size(); l += 7) {
                std::string changed = sourceLine(random, static_cast<int>(l));
                lines[l] =
                    random() % 3 == 0 ? lines[l].substr(0, lines[l].size() / 2) + "x;\n" : changed;
            }
        }
        writeAll();
        git(repo, {"add", "-A"});
        git(repo, {"commit", "-q", "-m", "after"});
        std::string result = git(repo, {"diff", "HEAD~1", "HEAD"});
        std::error_code ignored;
        fs::remove_all(repo, ignored);
        return result;
    }();
    return patch;
}

std::vector<std::string> splitIntoStrings(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t stop = text.find('\n', start);
        if (stop == std::string_view::npos) {
            stop = text.size();
        }
        lines.emplace_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    return lines;
}

std::vector<std::string_view> splitIntoViews(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t stop = text.find('\n', start);
        if (stop == std::string_view::npos) {
            stop = text.size();
        }
        lines.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    return lines;
}

double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

/// Processor time of this thread (user and system, page faults included): two cores shared by
/// many builds make wall-clock time mostly a measure of the neighbours.
template <typename Work> double secondsFor(Work work) {
    double start = threadSeconds();
    work();
    return threadSeconds() - start;
}

/// Each iteration parses the patch and splits it both ways, so the ratios compare runs made
/// side by side under the same conditions. The reported time is the parser's processor time.
void BM_DiffParserParse(benchmark::State& state) {
    const std::string& patch = bigPatch();
    double parse = 0;
    double strings = 0;
    double views = 0;
    size_t lineCount = 0;
    for (auto _ : state) {
        double seconds = secondsFor([&] {
            auto hunks = DiffParser::parse(patch);
            benchmark::DoNotOptimize(hunks.data());
        });
        state.SetIterationTime(seconds);
        parse += seconds;
        strings += secondsFor([&] {
            auto lines = splitIntoStrings(patch);
            lineCount = lines.size();
            benchmark::DoNotOptimize(lines.data());
        });
        views += secondsFor([&] {
            auto lines = splitIntoViews(patch);
            benchmark::DoNotOptimize(lines.data());
        });
    }
    double bytes = static_cast<double>(patch.size()) * static_cast<double>(state.iterations());
    state.counters["patch_MB"] = static_cast<double>(patch.size()) / 1e6;
    state.counters["lines"] = static_cast<double>(lineCount);
    state.counters["MB_per_s"] = bytes / parse / 1e6;
    state.counters["x_split_strings"] = parse / strings;
    state.counters["x_split_views"] = parse / views;
}
BENCHMARK(BM_DiffParserParse)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

/// Changed-line pairs as a reviewer meets them: each deletion of the big patch paired with the
/// addition in the same position of the run of additions that follows it.
const std::vector<std::pair<std::string, std::string>>& realisticPairs() {
    static const auto pairs = [] {
        std::vector<std::pair<std::string, std::string>> result;
        for (const auto& hunk : DiffParser::parse(bigPatch())) {
            const auto& lines = hunk.lines;
            size_t i = 0;
            while (i < lines.size() && result.size() < 10'000) {
                size_t deletions = i;
                while (deletions < lines.size() &&
                       lines[deletions].kind == DiffLineKind::deletion) {
                    ++deletions;
                }
                size_t additions = deletions;
                while (additions < lines.size() &&
                       lines[additions].kind == DiffLineKind::addition) {
                    ++additions;
                }
                for (size_t k = 0; k < deletions - i && k < additions - deletions; ++k) {
                    result.emplace_back(lines[i + k].text, lines[deletions + k].text);
                }
                i = std::max(additions, i + 1);
            }
            if (result.size() >= 10'000) {
                break;
            }
        }
        return result;
    }();
    return pairs;
}

void BM_WordDiffRealisticPairs(benchmark::State& state) {
    const auto& pairs = realisticPairs();
    for (auto _ : state) {
        for (const auto& [old, new_] : pairs) {
            auto spans = WordDiff::diff(old, new_);
            benchmark::DoNotOptimize(spans.first.data());
        }
    }
    state.counters["pairs"] = static_cast<double>(pairs.size());
    state.counters["pairs_per_s"] = benchmark::Counter(static_cast<double>(pairs.size()) *
                                                           static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WordDiffRealisticPairs)->Unit(benchmark::kMillisecond);

/// 2,000 tokens per side (the most that is still compared), no common prefix, so the whole
/// table is filled and walked.
void BM_WordDiffWorstCase(benchmark::State& state) {
    std::string old;
    std::string new_;
    for (int i = 0; i < 1000; ++i) {
        old += i % 2 ? "alpha " : "beta ";
        new_ += i % 2 ? "beta " : "alpha ";
    }
    if (WordDiff::tokenize(old).size() != WordDiff::maximumTokens) {
        state.SkipWithError("the pair does not have the maximum token count");
    }
    for (auto _ : state) {
        auto spans = WordDiff::diff(old, new_);
        benchmark::DoNotOptimize(spans.first.data());
    }
    state.counters["tokens_per_side"] = static_cast<double>(WordDiff::maximumTokens);
    state.counters["table_MB"] = static_cast<double>(WordDiff::lcsTableBytes(
                                     WordDiff::maximumTokens, WordDiff::maximumTokens)) /
                                 1e6;
}
BENCHMARK(BM_WordDiffWorstCase)->Unit(benchmark::kMillisecond);

} // namespace
