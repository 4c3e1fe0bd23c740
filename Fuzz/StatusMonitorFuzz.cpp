// The status monitor on any terminal output, cut into chunks at fuzzer-chosen points. How
// the output is cut must not matter, the kept tail must be bounded and hold only printable
// bytes and line feeds, a bell callback calling back into the monitor must not change what
// it keeps, and the status must follow the documented order (working while output is fresh,
// then idle or needs input, idle after a finished command).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "OrvexCore/Status/StatusMonitor.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"

using namespace OrvexCore;

namespace {

using Date = StatusMonitor::Date;

const Date start = Date(std::chrono::seconds(1'700'000'000));

StatusMonitor::Config configWithTail(std::int64_t maxTailBytes) {
    return {1.0, maxTailBytes, {"proceed", "[y/n]", "CONTINUE?"}};
}

/// Feeds `chunks` in order, one millisecond apart; returns the time of the last.
Date feed(StatusMonitor& monitor, const UUID& id, const std::vector<std::string_view>& chunks) {
    Date at = start;
    for (const auto& chunk : chunks) {
        at += std::chrono::milliseconds(1);
        monitor.ingest(id, chunk, at);
    }
    return at;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OrvexFuzz::FuzzInput input(data, size);
    const std::int64_t smallTail = input.byte() % 64;
    std::vector<std::size_t> chunkSizes(input.byte() % 8);
    for (auto& chunkSize : chunkSizes) {
        chunkSize = input.byte();
    }
    const std::string_view output = input.rest();
    if (output.empty()) {
        return 0;
    }
    std::vector<std::string_view> chunks;
    std::string_view left = output;
    for (const auto chunkSize : chunkSizes) {
        if (chunkSize > 0 && chunkSize < left.size()) {
            chunks.push_back(left.substr(0, chunkSize));
            left.remove_prefix(chunkSize);
        }
    }
    chunks.push_back(left);

    const UUID id;
    const UUID other;
    const auto wholeTail = static_cast<std::int64_t>(output.size()) + 1;

    // The reference: everything in one chunk, nothing ever cut from the tail.
    StatusMonitor whole(configWithTail(wholeTail));
    int wholeBells = 0;
    whole.onBell = [&](const UUID&) { ++wholeBells; };
    whole.ingest(id, output, start + std::chrono::milliseconds(chunks.size()));

    StatusMonitor chunked(configWithTail(wholeTail));
    int chunkedBells = 0;
    chunked.onBell = [&](const UUID&) { ++chunkedBells; };
    const Date last = feed(chunked, id, chunks);

    // A callback that forgets the terminal and feeds another one mid-chunk.
    StatusMonitor reentered(configWithTail(wholeTail));
    reentered.onBell = [&](const UUID& terminal) {
        reentered.noteClosed(terminal);
        reentered.ingest(other, "x", last);
    };
    feed(reentered, id, chunks);

    StatusMonitor bounded(configWithTail(smallTail));
    feed(bounded, id, chunks);

    const auto tail = whole.tail(id);
    FUZZ_CHECK(tail);
    FUZZ_CHECK(tail->size() <= output.size());
    FUZZ_CHECK(std::none_of(tail->begin(), tail->end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 && c != '\n';
    }));
    FUZZ_CHECK(chunked.tail(id) == tail);
    FUZZ_CHECK(reentered.tail(id) == tail);
    FUZZ_CHECK(wholeBells == chunkedBells);
    FUZZ_CHECK(wholeBells <= std::count(output.begin(), output.end(), '\x07'));

    // A bounded tail is the end of the unbounded one: at most twice the bound, and no
    // shorter than the bound unless there was less output.
    const auto boundedTail = bounded.tail(id);
    FUZZ_CHECK(boundedTail);
    FUZZ_CHECK(tail->ends_with(*boundedTail));
    FUZZ_CHECK(static_cast<std::int64_t>(boundedTail->size()) <= 2 * smallTail);
    FUZZ_CHECK(boundedTail->size() >= std::min(tail->size(), static_cast<std::size_t>(smallTail)));

    // Fresh output means working unless a finished-command mark came last; the mark is seen
    // the same however the output was cut.
    const auto fresh = chunked.status(id, last);
    const auto quiet = last + std::chrono::seconds(10);
    const auto settled = chunked.status(id, quiet);
    FUZZ_CHECK(fresh == TerminalActivity::working || fresh == TerminalActivity::idle);
    FUZZ_CHECK(settled != TerminalActivity::working);
    FUZZ_CHECK(fresh == TerminalActivity::working || settled == TerminalActivity::idle);
    FUZZ_CHECK(whole.status(id, quiet) == settled);
    FUZZ_CHECK(bounded.status(id, last) == fresh);
    FUZZ_CHECK(reentered.status(id, quiet) == settled);
    // The last-line verdict is worked out once per tail, however often it is asked for.
    const auto decodes = chunked.tailDecodeCount();
    FUZZ_CHECK(chunked.status(id, quiet) == settled);
    FUZZ_CHECK(chunked.tailDecodeCount() == decodes);

    chunked.noteClosed(id);
    FUZZ_CHECK(!chunked.tail(id));
    FUZZ_CHECK(chunked.status(id, quiet) == TerminalActivity::idle);
    return 0;
}
