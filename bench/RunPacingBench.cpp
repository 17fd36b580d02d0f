// A list run of 20 accounts with 200 messages each against a private Dovecot
// at a 100 ms pause. Reports the wall time per account divided by the pacing
// floor of eight pauses (with UIDPLUS: the steps after connect, LOGIN,
// CAPABILITY, SELECT, UID SEARCH, UID STORE and UID EXPUNGE, and the pause
// after the logout): 1.0 means the run costs nothing beyond its pauses.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "support/Dovecot.h"
#include "support/RunHarness.h"

namespace {
void BM_ListRunPacing(benchmark::State& state) {
    constexpr int kAccounts = 20;
    constexpr int kMessages = 200;
    constexpr int kPauseMs = 100;
    constexpr std::time_t kOld = 1577836800, kNew = 1609459200;  // 1 Jan 2020, 1 Jan 2021 UTC
    for (auto _ : state) {
        state.PauseTiming();
        Dovecot server;
        std::vector<std::string> accounts;
        for (int a = 0; a < kAccounts; ++a) {
            accounts.push_back("bench" + std::to_string(a));
            server.AddAccount(accounts.back(), "pw");
            for (int m = 0; m < kMessages; ++m)
                server.AddMessage(accounts.back(), m + 1, m % 2 ? kOld : kNew, "m");
        }
        const std::string error = server.Start();
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        TestRun run(server.Port(), kPauseMs);
        run.users.m_arrAccounts = accounts;
        run.users.m_arrPasswords.assign(kAccounts, "pw");
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        run.sequencer.StartListRun("01-Jun-2020");
        if (!run.WaitForEnd(std::chrono::minutes(5)) ||
            run.sequencer.m_strStatus != "Operazione completata.") {
            state.SkipWithError("the run did not end");
            return;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto failed =
            std::count_if(run.statuses.begin(), run.statuses.end(),
                          [](const std::string& s) { return s.rfind("Failed", 0) == 0; });
        state.counters["seconds_per_account"] = seconds / kAccounts;
        state.counters["ratio_to_8_pauses"] = seconds / kAccounts / (8 * kPauseMs / 1000.0);
        state.counters["failed_accounts"] = static_cast<double>(failed);
    }
}
BENCHMARK(BM_ListRunPacing)->Iterations(1)->Unit(benchmark::kSecond);
}  // namespace
