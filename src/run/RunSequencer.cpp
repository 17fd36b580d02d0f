#include "run/RunSequencer.h"

#include <algorithm>
#include <climits>

#include "imap/ImapSocket.h"
#include "imap/Transcript.h"
#include "platform/SafeAtoi.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

CRunSequencer::CRunSequencer(IRunHost& host, CImapSocket& socket, CTranscript& transcript,
                             const CSettings& settings, const CUserList& users)
    : m_host(host),
      m_socket(socket),
      m_transcript(transcript),
      m_settings(settings),
      m_users(users) {}

void CRunSequencer::BeginRun(const std::string& beforeDate, bool preview) {
    // A tick the previous run had armed must not reach this one.
    StopTimers();
    m_bStopping = m_bTrustAsked = false;
    m_bPreview = preview;
    m_results.clear();
    m_nSkippedAdded = 0;
    m_nUserIndex = 0;
    m_strBeforeDate = beforeDate;
    StartTranscript();
    m_host.RunStarted();
}

void CRunSequencer::StartSingleRun(const std::string& account, const std::string& password,
                                   const std::string& beforeDate, bool preview) {
    BeginRun(beforeDate, preview);
    m_nUserCount = 0;
    m_strAccount = account;
    m_strPassword = password;
    m_bRunning = true;
    BeginResult();
    StartAccount();
}

void CRunSequencer::StartListRun(const std::string& beforeDate, bool preview) {
    BeginRun(beforeDate, preview);
    m_nUserCount =
        static_cast<int32_t>(std::min(m_users.m_arrAccounts.size(), m_users.m_arrPasswords.size()));
    if (m_nUserCount <= 0) {
        m_socket.Close();
        m_bRunning = false;
        AddSkippedLines(INT_MAX);
        if (!m_results.empty()) {
            CompleteRun();
            return;
        }
        ShowStatus("The user list holds no account.");
        m_host.RunEnded();
        return;
    }
    m_strAccount = m_users.m_arrAccounts[0];
    m_strPassword = m_users.m_arrPasswords[0];
    m_bRunning = true;
    BeginResult();
    StartAccount();
}

void CRunSequencer::StartTranscript() {
    m_transcript.StartNew();
    if (!m_settings.m_strNotice.empty())
        m_transcript.Append("\n" + m_settings.m_strNotice + "\n");
}

void CRunSequencer::AddSkippedLines(int line) {
    const auto& skipped = m_users.m_arrSkippedLines;
    for (; m_nSkippedAdded < skipped.size() && skipped[m_nSkippedAdded] < line; ++m_nSkippedAdded) {
        CAccountResult row;
        row.skippedLine = skipped[m_nSkippedAdded];
        row.finished = true;
        row.failure = "line " + std::to_string(row.skippedLine) + " is not account;password";
        m_results.push_back(std::move(row));
        m_host.ResultChanged(m_results.size() - 1);
    }
}

void CRunSequencer::BeginResult() {
    if (m_nUserCount > 0 && static_cast<size_t>(m_nUserIndex) < m_users.m_arrLines.size())
        AddSkippedLines(m_users.m_arrLines[m_nUserIndex]);
    CAccountResult row;
    row.account = m_strAccount;
    row.begun = std::chrono::steady_clock::now();
    row.logBegin = m_transcript.Size();
    m_results.push_back(std::move(row));
    m_host.ResultChanged(m_results.size() - 1);
}

void CRunSequencer::FinishResult(std::string failure) {
    if (m_results.empty() || m_results.back().finished)
        return;
    CAccountResult& row = m_results.back();
    row.searched = m_socket.m_bSearched == 1;
    row.found = m_socket.FoundCount();
    row.flagged = m_socket.FlaggedCount();
    row.deleted = m_socket.DeletedCount();
    row.stopped = failure.rfind("run stopped", 0) == 0;
    row.failure = std::move(failure);
    row.finished = true;
    row.taken = std::chrono::steady_clock::now() - row.begun;
    row.logEnd = m_transcript.Size();
    m_host.ResultChanged(m_results.size() - 1);
}

void CRunSequencer::CompleteRun() {
    if (m_nUserCount > 0)
        AddSkippedLines(INT_MAX);
    m_bRunning = false;
    size_t failed = 0, messages = 0, accounts = 0;
    for (const CAccountResult& row : m_results) {
        failed += row.Failed();
        if (row.failure.empty() && row.found > 0) {
            messages += row.found;
            ++accounts;
        }
    }
    std::string text = m_bPreview
                           ? "Preview completed: " + std::to_string(messages) + " messages in " +
                                 std::to_string(accounts) + " accounts would be deleted."
                           : "Operazione completata.";
    if (failed > 0)
        text += " " + std::to_string(failed) + " of " + std::to_string(m_results.size()) +
                " accounts failed.";
    ShowStatus(text);
    m_host.RunEnded();
}

void CRunSequencer::Stop(std::function<void()> done) {
    if (!m_bRunning) {
        if (done)
            done();
        return;
    }
    m_onStopped = std::move(done);
    if (m_bStopping)
        return;  // on its way already: the new caller waits instead
    m_bStopping = true;
    if (m_nStep == STEP_LOGOUT)
        EndRun();  // between two accounts
    else if (m_nStep < STEP_STORE && !m_socket.HasFlagged())
        EndAccount("run stopped");  // nothing flagged, nothing that could flag in flight
    // Otherwise the command in flight completes first (see OnTimer).
}

void CRunSequencer::StartAccount() {
    m_nStep = STEP_CONNECT;
    ShowStatus("Connected to server " + m_settings.m_strServerIP);
    m_socket.Close();
    const unsigned port = static_cast<unsigned>(SafeAtoi(m_settings.m_strPort));
    if (!m_socket.ConnectToServer(m_settings.m_strServerIP, port, m_settings.m_security,
                                  m_settings.m_strTrustedFingerprint)) {
        FailAccount(m_socket.FailureReason());
        return;
    }
    ArmTimer(TIMER_STEP);
}

void CRunSequencer::NextAccount() {
    ++m_nUserIndex;
    if (m_nUserIndex < m_nUserCount &&
        static_cast<size_t>(m_nUserIndex) < m_users.m_arrAccounts.size()) {
        m_strAccount = m_users.m_arrAccounts[m_nUserIndex];
        m_strPassword = m_users.m_arrPasswords[m_nUserIndex];
        BeginResult();
        StartAccount();
        return;
    }
    CompleteRun();
}

int32_t CRunSequencer::AwaitedFlag() const {
    switch (m_nStep) {
        case STEP_CONNECT:
            return m_socket.m_bConnected;
        case STEP_LOGIN:
            return m_socket.m_bLoggedIn;
        case STEP_CAPABILITY:
            return m_socket.m_bCapable;
        case STEP_SELECT:
            return m_socket.m_bSelected;
        case STEP_SEARCH:
            return m_socket.m_bSearched;
        case STEP_STORE:
            return m_socket.m_bStored;
        case STEP_CHECK:
            return m_socket.m_bChecked;
        case STEP_EXPUNGE:
            return m_socket.m_bExpunged;
        case STEP_UNFLAG:
            return m_socket.m_bUnflagged;
        default:
            return 0;
    }
}

int32_t CRunSequencer::NextStep() const {
    if (m_bPreview && m_nStep == STEP_LOGIN)
        return STEP_SELECT;
    if (m_bPreview && m_nStep == STEP_SEARCH)
        return STEP_LOGOUT;
    switch (m_nStep) {
        case STEP_STORE:
            // Nothing flagged, nothing to expunge: other clients' flags stay theirs.
            if (!m_socket.HasFlagged())
                return STEP_LOGOUT;
            return m_socket.UsesUids() ? STEP_EXPUNGE : STEP_CHECK;
        case STEP_EXPUNGE:
            return STEP_LOGOUT;
        default:
            return m_nStep + 1;
    }
}

void CRunSequencer::OnTimer(int id) {
    if (id == TIMER_NEXT_USER) {
        m_host.KillTimer(TIMER_NEXT_USER);
        NextAccount();
        return;
    }
    if (id != TIMER_STEP || m_nStep >= STEP_LOGOUT)
        return;
    const bool removing = m_nStep == STEP_UNFLAG;
    if (m_socket.HasFailed()) {
        if (removing)
            EndAccount(m_strEnding + "; deleted flags may remain");
        else
            FailAccount(m_socket.FailureReason());
        return;
    }
    if (AwaitedFlag() != 1) {
        if (std::chrono::steady_clock::now() - m_socket.LastActivity() < m_silenceLimit)
            return;
        // A silent server would not answer the unflagging either.
        m_socket.Close();
        if (removing)
            EndAccount(m_strEnding + "; deleted flags may remain");
        else
            FailAccount("no answer from server");
        return;
    }
    m_host.KillTimer(TIMER_STEP);
    if (removing) {
        EndAccount(m_strEnding + (m_socket.FlaggedKnown() ? "; deleted flags removed"
                                                          : "; deleted flags may remain"));
        return;
    }
    const int32_t next = NextStep();
    if (m_bStopping && next != STEP_LOGOUT)
        FailAccount("run stopped");
    else
        RunStep(next);
}

void CRunSequencer::RunStep(int32_t step) {
    m_nStep = step;
    switch (step) {
        case STEP_LOGIN:
            ShowStatus("Login User " + m_strAccount);
            if (m_socket.SendLogin(m_strAccount, m_strPassword) == 0) {
                FailAccount(m_socket.FailureReason());
                return;
            }
            break;
        case STEP_CAPABILITY:
            m_socket.SendCapability();
            break;
        case STEP_SELECT:
            m_socket.SendSelect();
            break;
        case STEP_SEARCH:
            ShowStatus("Search mails with date before " + m_strBeforeDate);
            m_socket.SendSearch(m_strBeforeDate);
            break;
        case STEP_STORE:
            if (m_socket.FoundCount() == 0)
                ShowStatus("No message found");
            else
                ShowStatus("Deleting " + std::to_string(m_socket.FoundCount()) + " mails");
            m_socket.SendStore();
            break;
        case STEP_CHECK:
            m_socket.SendCheck();
            break;
        case STEP_EXPUNGE:
            m_socket.SendExpunge();
            break;
        default:  // logout: the account is done
            m_socket.SendLogout();
            m_socket.Close();
            ShowStatus("Logout from exchange server.");
            FinishResult("");
            if (m_bStopping)
                EndRun();
            else
                ArmTimer(TIMER_NEXT_USER);
            return;
    }
    ArmTimer(TIMER_STEP);
}

void CRunSequencer::FailAccount(std::string reason) {
    // Taken by value: the reason often lives in the socket, which the next command resets.
    m_host.KillTimer(TIMER_STEP);
    if (m_socket.UntrustedCertificate() && !m_bTrustAsked) {
        // Once a run: the administrator may trust the certificate, and the
        // account starts again with it trusted. No timer runs while asked.
        m_bTrustAsked = true;
        m_nStep = STEP_TRUST;
        m_host.AskTrust(m_socket.Peer(), m_settings.m_strServerIP, [this, reason](bool trusted) {
            if (m_nStep != STEP_TRUST)
                return;  // the run was replaced meanwhile
            if (trusted && !m_bStopping)
                StartAccount();
            else
                EndAccount(reason);
        });
        return;
    }
    if (m_socket.HasFlagged() || !m_socket.FlaggedKnown()) {
        if (m_socket.IsConnected()) {
            // What this account flagged must not wait for somebody else's EXPUNGE.
            m_strEnding = std::move(reason);
            m_nStep = STEP_UNFLAG;
            m_socket.SendUnflag();
            ArmTimer(TIMER_STEP);
            return;
        }
        reason += "; deleted flags may remain";
    }
    EndAccount(std::move(reason));
}

void CRunSequencer::EndAccount(std::string failure) {
    m_host.KillTimer(TIMER_STEP);
    if (m_socket.m_bLoggedIn == 1 && m_socket.IsConnected())
        m_socket.SendLogout();
    m_socket.Close();
    m_nStep = STEP_LOGOUT;
    const std::string text = "Failed for user " + m_strAccount + ": " + failure;
    m_transcript.Append("\n" + text + "\n");
    FinishResult(std::move(failure));
    ShowStatus(text);
    if (m_bStopping)
        EndRun();
    else
        ArmTimer(TIMER_NEXT_USER);
}

void CRunSequencer::EndRun() {
    StopTimers();
    m_bRunning = false;
    m_bStopping = false;
    m_host.RunEnded();
    std::function<void()> done;
    done.swap(m_onStopped);
    if (done)
        done();
}

void CRunSequencer::ArmTimer(int id) {
    // The pause is read at every arming, so a change applies from the next step.
    m_host.SetTimer(id, std::max(m_settings.m_nPauseMs, kShortestTimerMs));
}

void CRunSequencer::StopTimers() {
    m_host.KillTimer(TIMER_STEP);
    m_host.KillTimer(TIMER_NEXT_USER);
}

void CRunSequencer::ShowStatus(std::string text) {
    m_strStatus = std::move(text);
    m_host.ShowStatus(m_strStatus);
}
