// The server's screen model of one terminal.
//
// ScreenModelMemory/<rows>/<cols>/<alternate>: memory per model, measured over 100 models each
// fed three screenfuls of coloured text (and, with alternate 1, a full-screen program's screen
// on top), as the growth of the heap's bytes in use (resident size would hide the models in
// memory freed by earlier benchmarks of the same process). Counters: KiB_per_model and
// ratio_vs_budget (memory / 2 MiB, the budget of one idle terminal with everything else; must stay
// well below 1).
//
// ScreenModelFeed: throughput of ScreenModel::feed on 8 MiB of coloured program output in
// 4 KiB chunks, timed side by side (alternating, thread CPU time, so other processes on the
// machine do not count) with the same bytes written into a bare libvterm screen. Counters:
// model_MBps, libvterm_MBps and ratio_vs_libvterm (model time / bare time; the price of following
// modes and the alternate screen).
//
// ScreenModelRedraw/<rows>/<cols>: one redraw() of a full coloured screen.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <malloc.h>
#include <time.h>
#include <vterm.h>

#include "OrvexServer/ScreenModel.hpp"

using OrvexServer::ScreenModel;

namespace {

long heapBytesInUse() {
    auto info = mallinfo2();
    // Large blocks (a screen buffer of a big window) are mapped apart from the heap.
    return static_cast<long>(info.uordblks + info.hblkhd);
}

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

/// `lines` lines of `cols - 1` letters, each line in another colour.
std::string colouredLines(int lines, int cols) {
    std::string out;
    for (int line = 0; line < lines; ++line) {
        out += "\x1b[3" + std::to_string(line % 8) + ";4" + std::to_string((line / 8) % 8) + "m";
        for (int col = 0; col + 1 < cols; ++col) {
            out += static_cast<char>('a' + (line + col) % 26);
        }
        out += "\x1b[0m\r\n";
    }
    return out;
}

void ScreenModelMemory(benchmark::State& state) {
    int rows = static_cast<int>(state.range(0));
    int cols = static_cast<int>(state.range(1));
    bool alternate = state.range(2) != 0;
    std::string screen = colouredLines(rows * 3, cols);
    double perModel = 0;
    for (auto _ : state) {
        long before = heapBytesInUse();
        std::vector<std::unique_ptr<ScreenModel>> models;
        for (int i = 0; i < 100; ++i) {
            auto model = std::make_unique<ScreenModel>(rows, cols);
            model->feed(screen);
            if (alternate) {
                model->feed("\x1b[?1049h");
                model->feed(screen);
            }
            models.push_back(std::move(model));
        }
        perModel = static_cast<double>(heapBytesInUse() - before) / 100.0;
        benchmark::DoNotOptimize(models.data());
    }
    state.counters["KiB_per_model"] = perModel / 1024.0;
    state.counters["ratio_vs_budget"] = perModel / (2.0 * 1024 * 1024);
}
BENCHMARK(ScreenModelMemory)
    ->Args({24, 80, 0})
    ->Args({24, 80, 1})
    ->Args({50, 200, 0})
    ->Args({50, 200, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void ScreenModelFeed(benchmark::State& state) {
    std::string corpus;
    while (corpus.size() < (8u << 20)) {
        corpus += colouredLines(200, 120);
    }
    double model = 0, bare = 0;
    for (auto _ : state) {
        {
            double start = threadSeconds();
            ScreenModel screen(50, 120);
            for (size_t at = 0; at < corpus.size(); at += 4096) {
                screen.feed(std::string_view(corpus).substr(at, 4096));
            }
            model += threadSeconds() - start;
        }
        {
            double start = threadSeconds();
            VTerm* vt = vterm_new(50, 120);
            vterm_set_utf8(vt, 1);
            VTermScreen* screen = vterm_obtain_screen(vt);
            vterm_screen_reset(screen, 1);
            for (size_t at = 0; at < corpus.size(); at += 4096) {
                size_t length = std::min<size_t>(4096, corpus.size() - at);
                vterm_input_write(vt, corpus.data() + at, length);
            }
            vterm_free(vt);
            bare += threadSeconds() - start;
        }
    }
    double bytes = static_cast<double>(corpus.size()) * static_cast<double>(state.iterations());
    state.counters["model_MBps"] = bytes / model / 1e6;
    state.counters["libvterm_MBps"] = bytes / bare / 1e6;
    state.counters["ratio_vs_libvterm"] = model / bare;
}
BENCHMARK(ScreenModelFeed)->Iterations(4)->Unit(benchmark::kMillisecond);

void ScreenModelRedraw(benchmark::State& state) {
    int rows = static_cast<int>(state.range(0));
    int cols = static_cast<int>(state.range(1));
    ScreenModel model(rows, cols);
    model.feed(colouredLines(rows * 2, cols));
    for (auto _ : state) {
        benchmark::DoNotOptimize(model.redraw());
    }
}
BENCHMARK(ScreenModelRedraw)->Args({24, 80})->Args({50, 200})->Unit(benchmark::kMicrosecond);

} // namespace
