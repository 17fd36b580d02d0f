// List runs against a private Dovecot at a 100 ms pause. Reports the wall
// time per account, times the accounts at once, divided by the pacing floor
// of eight pauses (with UIDPLUS: the steps after connect, LOGIN, CAPABILITY,
// SELECT, UID SEARCH, UID STORE and UID EXPUNGE, and the pause after the
// logout): 1.0 means an account costs nothing beyond its pauses. The speed-up
// is against the floor of the same run one account at a time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "support/Dovecot.h"
#include "support/RunHarness.h"

namespace {
// Arguments: accounts, messages per account, accounts at once.
void BM_ListRunPacing(benchmark::State& state) {
    const int accounts = static_cast<int>(state.range(0));
    const int messages = static_cast<int>(state.range(1));
    const int parallel = static_cast<int>(state.range(2));
    constexpr int kPauseMs = 100;
    constexpr std::time_t kOld = 1577836800, kNew = 1609459200;  // 1 Jan 2020, 1 Jan 2021 UTC
    for (auto _ : state) {
        state.PauseTiming();
        Dovecot server;
        std::vector<std::string> names;
        for (int a = 0; a < accounts; ++a) {
            names.push_back("bench" + std::to_string(a));
            server.AddAccount(names.back(), "pw");
            for (int m = 0; m < messages; ++m)
                server.AddMessage(names.back(), m + 1, m % 2 ? kOld : kNew, "m");
        }
        const std::string error = server.Start();
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        TestRun run(server.Port(), kPauseMs);
        run.settings.m_nParallel = parallel;
        run.users.m_arrAccounts = names;
        run.users.m_arrPasswords.assign(accounts, "pw");
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        run.sequencer.StartListRun("01-Jun-2020");
        if (!run.WaitForEnd(std::chrono::minutes(10)) ||
            run.sequencer.m_strStatus.rfind("Operazione completata.", 0) != 0 ||
            run.sequencer.m_strStatus.find("failed") != std::string::npos) {
            state.SkipWithError("the run did not end, or an account failed");
            return;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double floor = accounts * 8 * kPauseMs / 1000.0;
        state.counters["seconds"] = seconds;
        state.counters["ratio_to_8_pauses"] = seconds * parallel / floor;
        state.counters["speedup"] = floor / seconds;
    }
}
BENCHMARK(BM_ListRunPacing)
    ->Args({20, 200, 1})
    ->Args({200, 50, 1})
    ->Args({200, 50, 8})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
}  // namespace
