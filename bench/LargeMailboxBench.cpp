// One account of 100,000 messages, 80% of them older than the cut-off day,
// against a private Dovecot at a 10 ms pause: the whole run, and how long the
// server took for each step (from the step's command to its completion, less
// nothing: the pause is what the sequencer waits on top). The slowest step
// tells how much room the command deadline needs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>

#include "support/Dovecot.h"
#include "support/Harness.h"
#include "support/RunHarness.h"

namespace {
void BM_LargeMailbox(benchmark::State& state) {
    const int messages = static_cast<int>(state.range(0));
    constexpr std::time_t kOld = 1577836800, kNew = 1609459200;  // 1 Jan 2020, 1 Jan 2021 UTC
    for (auto _ : state) {
        state.PauseTiming();
        Dovecot server;
        server.AddAccount("big", "pw");
        for (int m = 0; m < messages; ++m)
            server.AddMessage("big", m + 1, m % 5 == 4 ? kNew : kOld, "m");
        if (const std::string error = server.Start(); !error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        TestRun run(server.Port(), 10);
        state.ResumeTiming();
        // Each step's time, from when the sequencer moved to it until it moved on.
        std::map<int32_t, double> steps;
        int32_t step = -1;
        auto since = std::chrono::steady_clock::now();
        const auto start = since;
        run.sequencer.StartSingleRun("big", "pw", "01-Jun-2020");
        PumpUntil(
            [&] {
                const auto now = std::chrono::steady_clock::now();
                if (run.sequencer.Step() != step) {
                    if (step >= 0)
                        steps[step] += std::chrono::duration<double>(now - since).count();
                    step = run.sequencer.Step();
                    since = now;
                }
                return !run.sequencer.IsRunning();
            },
            std::chrono::minutes(20));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (run.sequencer.m_results.empty() || run.sequencer.m_results[0].failure != "" ||
            run.sequencer.m_results[0].deleted != static_cast<unsigned>(messages * 4 / 5)) {
            state.SkipWithError("the run did not delete the old mail");
            return;
        }
        state.counters["seconds"] = seconds;
        state.counters["search_s"] = steps[STEP_SEARCH];
        state.counters["store_s"] = steps[STEP_STORE];
        state.counters["expunge_s"] = steps[STEP_EXPUNGE];
    }
}
BENCHMARK(BM_LargeMailbox)->Arg(100000)->Iterations(1)->Unit(benchmark::kSecond);
}  // namespace
