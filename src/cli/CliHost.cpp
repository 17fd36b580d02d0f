#include "cli/CliHost.h"

#include "run/Progress.h"
#include "run/RunSequencer.h"

std::string ResultLine(const CAccountResult& result, bool dryRun) {
    const auto count = [&result](size_t n) {
        return result.searched ? std::to_string(n) : std::string("-");
    };
    if (result.restoring && result.failure.empty())
        return result.account + "\trestored " + std::to_string(result.restored) + ", skipped " +
               std::to_string(result.skipped) + ", failed " + std::to_string(result.notRestored);
    std::string outcome;
    if (result.skippedLine > 0)
        outcome = "skipped: " + result.failure;
    else if (result.stopped)
        outcome = "stopped" + result.failure.substr(std::string_view("run stopped").size());
    else if (!result.failure.empty())
        outcome = "failed: " + result.failure;
    else
        outcome = result.found == 0 ? "none found" : "done";
    if (!result.detail.empty())
        outcome += " (" + result.detail + ")";
    const std::string account = result.skippedLine > 0
                                    ? "(line " + std::to_string(result.skippedLine) + ")"
                                    : result.account;
    return account + "\t" + count(result.found) + "\t" +
           (dryRun ? std::string("-") : count(result.deleted)) + "\t" + outcome;
}

CCliHost::CCliHost(std::FILE* out, std::FILE* progress) : m_out(out), m_progress(progress) {
    Bind(wxEVT_TIMER, &CCliHost::OnTimer, this, TIMER_STEP, kTimerIdEnd - 1);
}

void CCliHost::SetTimer(int id, int elapseMs) {
    const auto [timer, made] = m_timers.try_emplace(id);
    if (made)
        timer->second.SetOwner(this, id);
    timer->second.Start(elapseMs);
}

void CCliHost::KillTimer(int id) {
    if (const auto timer = m_timers.find(id); timer != m_timers.end())
        timer->second.Stop();
}

void CCliHost::OnTimer(wxTimerEvent& event) {
    if (m_run)
        m_run->OnTimer(event.GetId());
}

void CCliHost::RunStarted() {
    m_printed = 0;
    m_start = std::chrono::steady_clock::now();
}

void CCliHost::ResultChanged(size_t) {
    if (!m_run)
        return;
    // In the list's order, whichever account of those at once ends first.
    const auto& results = m_run->m_results;
    if (m_progress && m_printed < results.size() && results[m_printed].finished)
        std::fprintf(m_progress, "\r\033[K");  // the progress line gives way
    for (; m_printed < results.size() && results[m_printed].finished; ++m_printed) {
        const CAccountResult& result = results[m_printed];
        std::fprintf(m_out, "%s\n", ResultLine(result, m_run->IsPreview()).c_str());
        if (result.inClear)  // the lines on standard output stay as scripts read them
            std::fprintf(stderr, "quendravalt-cli: warning: %s: no TLS: password sent in clear\n",
                         result.account.c_str());
    }
    std::fflush(m_out);
    ShowProgress();
}

void CCliHost::RunEnded() {
    if (m_progress) {
        std::fprintf(m_progress, "\r\033[K");
        std::fflush(m_progress);
    }
}

void CCliHost::ShowProgress() {
    if (!m_progress)
        return;
    const std::string text =
        m_run->IsRunning()
            ? ProgressText(m_run->AccountNumber(), m_run->AccountCount(), m_run->AccountsDone(),
                           std::chrono::steady_clock::now() - m_start)
            : std::string();
    // Over the line before: back to its start, the rest of it cleared.
    std::fprintf(m_progress, "\r%s\033[K", text.c_str());
    std::fflush(m_progress);
}
