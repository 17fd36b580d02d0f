// A list run of 20 accounts with 200 messages each against a private Dovecot
// at a 100 ms pause. Reports the wall time per account divided by the pacing
// floor of seven pauses (six steps and the pause after the logout): 1.0 means
// the run costs nothing beyond its pauses.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "support/Dovecot.h"
#include "support/HeadlessRunHost.h"

namespace {
void BM_ListRunPacing(benchmark::State& state) {
    constexpr int kAccounts = 20;
    constexpr int kMessages = 200;
    constexpr int kPauseMs = 100;
    DovecotServer server;
    std::string error;
    if (!server.Start(&error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        HeadlessRun run;
        run.settings.m_nPauseMs = kPauseMs;
        run.settings.m_strServerIP = "127.0.0.1";
        run.settings.m_strPort = std::to_string(server.Port());
        for (int a = 0; a < kAccounts; ++a) {
            const std::string user = DovecotServer::UniqueUser("bench");
            server.AddUser(user, "pw");
            std::vector<MailToAdd> mails;
            for (int m = 0; m < kMessages; ++m)
                mails.push_back({m % 2 ? UtcTime(2020, 1, 1) : UtcTime(2021, 1, 1), "m"});
            server.AddMessages(user, mails);
            run.users.m_arrAccounts.push_back(user);
            run.users.m_arrPasswords.push_back("pw");
        }
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
            std::count_if(run.host.statuses.begin(), run.host.statuses.end(),
                          [](const std::string& s) { return s.rfind("Failed", 0) == 0; });
        state.counters["seconds_per_account"] = seconds / kAccounts;
        state.counters["ratio_to_7_pauses"] = seconds / kAccounts / (7 * kPauseMs / 1000.0);
        state.counters["failed_accounts"] = static_cast<double>(failed);
    }
}
BENCHMARK(BM_ListRunPacing)->Iterations(1)->Unit(benchmark::kSecond);
}  // namespace
