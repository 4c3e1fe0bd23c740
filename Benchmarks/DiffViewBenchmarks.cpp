// Diff presentation speed: the patch parser against a plain split of the same text into lines
// (the floor any parser pays), and word diff on realistic and worst-case line pairs.
//
// BM_DiffParserSingleFile: one real 1.6 MB single-file patch, parsed and split into lines with
// memchr, the two sides alternating which goes first in each iteration. Counters: MB_per_s
// (wall clock, the parser), x_memchr_split (parser time / split time, wall clock; the target is
// at most 4) and cpu_x_memchr_split (the same in this thread's processor time).
//
// BM_WordDiffRealisticPairs: pairs_per_s (wall clock) over 10,000 changed-line pairs of a real
// patch, and x_copy_floor: word diff time / the time to make one span per side (the copies any
// word diff returns), measured alternately.
//
// BM_WordDiffCombiningMarks/<bytes>: a pair of lines that are one long run of mixed combining
// marks (the worst case of Unicode normalisation) against a same-length pair of ASCII lines,
// alternating; x_ascii_pair is the ratio of their times.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "OrvexCore/Diff/DiffParser.hpp"
#include "OrvexCore/Diff/WordDiff.hpp"
#include "OrvexCore/Diff/WordSpan.hpp"
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

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// Runs `first` and `second` once each, the order alternating from call to call, adding each
/// one's wall-clock and processor time to its totals.
struct SideBySide {
    double wall[2] = {0, 0};
    double cpu[2] = {0, 0};
    bool swap = false;

    template <typename First, typename Second> void run(First first, Second second) {
        auto timed = [this](auto work, int side) {
            const double wallStart = wallSeconds();
            const double cpuStart = threadSeconds();
            work();
            cpu[side] += threadSeconds() - cpuStart;
            wall[side] += wallSeconds() - wallStart;
        };
        if (swap) {
            timed(second, 1);
            timed(first, 0);
        } else {
            timed(first, 0);
            timed(second, 1);
        }
        swap = !swap;
    }
};

/// A real single-file patch of about 1.6 MB: `git diff` of one source file of 34,500 lines in
/// which every seventh line changed.
const std::string& singleFilePatch() {
    static const std::string patch = [] {
        std::string pattern = (fs::temp_directory_path() / "orvex-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        std::string repo = pattern;
        git(repo, {"init", "-q", "-b", "main"});
        git(repo, {"config", "user.name", "Orvex Bench"});
        git(repo, {"config", "user.email", "bench@orvex.invalid"});
        std::mt19937 random(1);
        std::vector<std::string> lines;
        for (int l = 0; l < 34'500; ++l) {
            lines.push_back(sourceLine(random, l));
        }
        auto write = [&] {
            std::ofstream out(repo + "/big.cpp", std::ios::trunc);
            for (const auto& line : lines) {
                out << line;
            }
        };
        write();
        git(repo, {"add", "-A"});
        git(repo, {"commit", "-q", "-m", "before"});
        for (size_t l = 3; l < lines.size(); l += 7) {
            lines[l] = sourceLine(random, static_cast<int>(l));
        }
        write();
        std::string result = git(repo, {"diff"});
        std::error_code ignored;
        fs::remove_all(repo, ignored);
        return result;
    }();
    return patch;
}

/// The floor of any line-based parser: the lines as views, found with memchr.
std::vector<std::string_view> memchrSplit(std::string_view text) {
    std::vector<std::string_view> lines;
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* found = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        const char* stop = found ? found : end;
        lines.emplace_back(p, size_t(stop - p));
        p = found ? found + 1 : end;
    }
    return lines;
}

void BM_DiffParserSingleFile(benchmark::State& state) {
    const std::string& patch = singleFilePatch();
    SideBySide sides;
    size_t lineCount = 0;
    for (auto _ : state) {
        sides.run(
            [&] {
                auto hunks = DiffParser::parse(patch);
                benchmark::DoNotOptimize(hunks.data());
            },
            [&] {
                auto lines = memchrSplit(patch);
                lineCount = lines.size();
                benchmark::DoNotOptimize(lines.data());
            });
    }
    const double bytes =
        static_cast<double>(patch.size()) * static_cast<double>(state.iterations());
    state.counters["patch_MB"] = static_cast<double>(patch.size()) / 1e6;
    state.counters["lines"] = static_cast<double>(lineCount);
    state.counters["MB_per_s"] = bytes / sides.wall[0] / 1e6;
    state.counters["x_memchr_split"] = sides.wall[0] / sides.wall[1];
    state.counters["cpu_x_memchr_split"] = sides.cpu[0] / sides.cpu[1];
}
BENCHMARK(BM_DiffParserSingleFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);

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
    SideBySide sides;
    for (auto _ : state) {
        sides.run(
            [&] {
                for (const auto& [old, new_] : pairs) {
                    auto spans = WordDiff::diff(old, new_);
                    benchmark::DoNotOptimize(spans.first.data());
                }
            },
            [&] {
                for (const auto& [old, new_] : pairs) {
                    std::pair<std::vector<WordSpan>, std::vector<WordSpan>> spans{
                        {WordSpan{old, false}}, {WordSpan{new_, false}}};
                    benchmark::DoNotOptimize(spans.first.data());
                }
            });
    }
    const double total =
        static_cast<double>(pairs.size()) * static_cast<double>(state.iterations());
    state.counters["pairs"] = static_cast<double>(pairs.size());
    state.counters["pairs_per_s"] = total / sides.wall[0];
    state.counters["cpu_pairs_per_s"] = total / sides.cpu[0];
    state.counters["x_copy_floor"] = sides.wall[0] / sides.wall[1];
}
BENCHMARK(BM_WordDiffRealisticPairs)->Unit(benchmark::kMillisecond)->MinTime(2.0);

/// A line of about `bytes` bytes: "x " (or "y ") then one letter carrying a run of combining
/// marks of two classes in alternation (U+0316 below, class 220; U+0301 above, class 230), so
/// canonical ordering has to move every other mark.
std::string combiningLine(size_t bytes, char first) {
    std::string line{first, ' ', 'a'};
    while (line.size() + 4 <= bytes) {
        line += "\xCC\x81\xCC\x96";
    }
    return line;
}

void BM_WordDiffCombiningMarks(benchmark::State& state) {
    const auto bytes = static_cast<size_t>(state.range(0));
    const std::string markedOld = combiningLine(bytes, 'x');
    const std::string markedNew = combiningLine(bytes, 'y');
    const std::string asciiOld = "x " + std::string(markedOld.size() - 2, 'a');
    const std::string asciiNew = "y " + std::string(markedNew.size() - 2, 'a');
    SideBySide sides;
    for (auto _ : state) {
        sides.run(
            [&] {
                auto spans = WordDiff::diff(markedOld, markedNew);
                benchmark::DoNotOptimize(spans.first.data());
            },
            [&] {
                auto spans = WordDiff::diff(asciiOld, asciiNew);
                benchmark::DoNotOptimize(spans.first.data());
            });
    }
    state.counters["line_KB"] = static_cast<double>(markedOld.size()) / 1024.0;
    state.counters["ms_marks"] = sides.wall[0] * 1e3 / static_cast<double>(state.iterations());
    state.counters["ms_ascii"] = sides.wall[1] * 1e3 / static_cast<double>(state.iterations());
    state.counters["x_ascii_pair"] = sides.wall[0] / sides.wall[1];
    state.counters["cpu_x_ascii_pair"] = sides.cpu[0] / sides.cpu[1];
}
BENCHMARK(BM_WordDiffCombiningMarks)
    ->Arg(16 << 10)
    ->Arg(128 << 10)
    ->Arg(512 << 10)
    ->Unit(benchmark::kMillisecond);

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
