#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/MemoryUserDefaults.hpp"
#include "OrvexCore/Status/StatusMonitor.hpp"
#include "OrvexPty/ActivityDetector.hpp"

using OrvexCore::TerminalActivity;
using OrvexPty::ActivityDetector;
using OrvexPty::TerminalByteTracker;

namespace {

/// The build puts its programs in build/<preset>/bin, three levels below the source tree.
const std::filesystem::path corpus =
    std::filesystem::path(ORVEX_BIN_DIR) / ".." / ".." / ".." / "Tests" / "Data" / "Activity";

struct Chunk {
    double at;
    std::string bytes;
};

/// A recording: one chunk a line, seconds since the scenario's start, a tab, hex bytes.
std::vector<Chunk> readRecording(const std::string& name) {
    std::ifstream file(corpus / "recordings" / (name + ".rec"));
    std::vector<Chunk> chunks;
    std::string line;
    while (std::getline(file, line)) {
        const auto tab = line.find('\t');
        if (line.starts_with('#') || tab == std::string::npos) {
            continue;
        }
        Chunk chunk{std::stod(line.substr(0, tab)), {}};
        for (std::size_t i = tab + 1; i + 1 < line.size(); i += 2) {
            chunk.bytes.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
        }
        chunks.push_back(std::move(chunk));
    }
    return chunks;
}

TerminalActivity parse(const std::string& text) {
    return text == "working"      ? TerminalActivity::working
           : text == "needsInput" ? TerminalActivity::needsInput
                                  : TerminalActivity::idle;
}

const ActivityDetector::Date t0{std::chrono::seconds(1'000'000)};

ActivityDetector::Date at(double seconds) {
    return t0 + std::chrono::duration_cast<ActivityDetector::Clock::duration>(
                    std::chrono::duration<double>(seconds));
}

} // namespace

// The recorded bytes replayed at their recorded times: what the bytes alone must show at the
// labelled moments (alternate screen, prompt marks), and the byte rules of the detector doing
// at least as well as the status monitor with the same settings.
TEST(ActivityCorpusReplay, BytesShowScreenAndMarksAndTheByteRulesMatchTheMonitor) {
    std::ifstream file(corpus / "scenarios.json");
    const auto scenarios = nlohmann::json::parse(file);
    ASSERT_GE(scenarios.size(), 30u);
    OrvexCore::AppSettings settings(std::make_shared<OrvexCore::MemoryUserDefaults>());
    int checkpoints = 0, monitorAgrees = 0, bytesAgree = 0, facts = 0;
    for (const auto& scenario : scenarios) {
        const std::string name = scenario["name"];
        const auto chunks = readRecording(name);
        ASSERT_FALSE(chunks.empty()) << name;
        ActivityDetector::Config config;
        config.quietSeconds = settings.activityQuietSeconds();
        config.questionPatterns = settings.activityQuestionPatterns();
        ActivityDetector bytesOnly(config, nullptr);
        OrvexCore::StatusMonitor monitor(
            {config.quietSeconds, 4096, settings.activityQuestionPatterns()});
        const OrvexCore::UUID id;
        std::size_t next = 0;
        auto replayUntil = [&](double moment) {
            for (; next < chunks.size() && chunks[next].at <= moment; ++next) {
                bytesOnly.ingest(chunks[next].bytes, at(chunks[next].at));
                monitor.ingest(id, chunks[next].bytes, at(chunks[next].at));
            }
        };
        std::vector<double> altAt;
        for (const auto& screen : scenario.value("screen", nlohmann::json::array())) {
            altAt.push_back(screen[0].get<double>());
        }
        const bool marks = scenario.value("marks", false);
        for (const auto& label : scenario["labels"]) {
            const double moment = label[0];
            const TerminalActivity expected = parse(label[1]);
            replayUntil(moment);
            ++checkpoints;
            monitorAgrees += monitor.status(id, at(moment)) == expected;
            bytesAgree += bytesOnly.evaluate(at(moment)).activity == expected;
            const bool alt = std::find(altAt.begin(), altAt.end(), moment) != altAt.end();
            if (alt) {
                EXPECT_TRUE(bytesOnly.bytes().alternateScreen()) << name << " at " << moment;
                ++facts;
            }
            if (marks && expected == TerminalActivity::idle) {
                EXPECT_EQ(bytesOnly.bytes().shellMark(), TerminalByteTracker::ShellMark::atPrompt)
                    << name << " at " << moment;
                ++facts;
            }
            if (marks && std::string(label[2]).find("runs") != std::string::npos) {
                EXPECT_EQ(bytesOnly.bytes().shellMark(),
                          TerminalByteTracker::ShellMark::commandRunning)
                    << name << " at " << moment;
                ++facts;
            }
        }
        replayUntil(1e9);
        EXPECT_FALSE(bytesOnly.bytes().alternateScreen()) << name << ": left at the end";
    }
    EXPECT_GE(facts, 15);
    EXPECT_GE(bytesAgree, monitorAgrees)
        << "of " << checkpoints << " checkpoints: bytes-only detector " << bytesAgree
        << ", monitor " << monitorAgrees;
}
