#include "run/RunSequencer.h"

#include <algorithm>
#include <climits>

#include "imap/ImapSocket.h"
#include "imap/Transcript.h"
#include "platform/SafeAtoi.h"
#include "run/AccessToken.h"
#include "settings/OAuthSettings.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

// One session of the run and the account it is working on.
struct CRunSequencer::Lane {
    Lane(int number, const std::string& logPath)
        : log(logPath),
          socket(log),
          stepTimer(TIMER_STEP + 2 * number),
          nextTimer(TIMER_NEXT_USER + 2 * number) {}

    CTranscript log;  // held while other sessions log too
    CImapSocket socket;
    const int stepTimer;
    const int nextTimer;
    bool active = false;  // has an account, or waits for the pause after one
    int32_t step = STEP_LOGOUT;
    int32_t userIndex = 0;
    std::string account;
    std::string password;
    size_t row = 0;                // its entry in m_results
    std::string ending;            // why the account ends, while its flags are removed
    bool throttled = false;        // the account had its one retry after throttling
    bool waitingThrottle = false;  // the step timer runs the server's suggested pause
    unsigned carried = 0;          // deleted by a session the server hung up on
};

CRunSequencer::CRunSequencer(IRunHost& host, CTranscript& transcript, const CSettings& settings,
                             const CUserList& users)
    : m_host(host),
      m_transcript(transcript),
      m_settings(settings),
      m_users(users),
      m_token(std::make_unique<CAccessToken>()) {}

CRunSequencer::~CRunSequencer() = default;

int32_t CRunSequencer::Step() const {
    return m_lanes.empty() ? STEP_LOGOUT : m_lanes.front()->step;
}

void CRunSequencer::BeginRun(const std::string& beforeDate, bool preview, int lanes) {
    // A tick the previous run had armed must not reach this one.
    StopTimers();
    ++m_nRunId;
    m_bStopping = m_bTrustAsked = m_bTrustPending = false;
    m_bPreview = preview;
    m_results.clear();
    m_nSkippedAdded = 0;
    m_nNextUser = m_nDone = 0;
    m_strBeforeDate = beforeDate;
    m_launch = nullptr;
    m_strTokenFailure.clear();
    m_strRunFailure.clear();
    m_nLanes = static_cast<size_t>(std::clamp(lanes, 1, kMaxLanes));
    while (m_lanes.size() < m_nLanes)
        m_lanes.push_back(
            std::make_unique<Lane>(static_cast<int>(m_lanes.size()), m_transcript.Path()));
    for (const auto& lane : m_lanes) {
        lane->socket.Close();
        // A replaced run's unfinished accounts still go into its log.
        m_transcript.Append(lane->log.Release());
        lane->log.Hold(m_nLanes > 1);
        lane->active = false;
        lane->step = STEP_LOGOUT;
    }
    StartTranscript();
    m_host.RunStarted();
}

void CRunSequencer::StartSingleRun(const std::string& account, const std::string& password,
                                   const std::string& beforeDate, bool preview) {
    BeginRun(beforeDate, preview, 1);
    m_nUserCount = 0;
    Lane& lane = *m_lanes.front();
    lane.account = m_strAccount = account;
    lane.password = m_strPassword = password;
    m_bRunning = true;
    Launch([this] {
        Lane& lane = *m_lanes.front();
        lane.active = true;
        BeginResult(lane);
        StartAccount(lane);
    });
}

void CRunSequencer::StartListRun(const std::string& beforeDate, bool preview) {
    BeginRun(beforeDate, preview, m_settings.m_nParallel);
    m_nUserCount =
        static_cast<int32_t>(std::min(m_users.m_arrAccounts.size(), m_users.m_arrPasswords.size()));
    if (m_nUserCount <= 0) {
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
    m_bRunning = true;
    Launch([this] {
        for (size_t i = 0; i < m_nLanes && m_nNextUser < m_nUserCount; ++i)
            NextAccount(*m_lanes[i]);
    });
}

void CRunSequencer::Launch(std::function<void()> start) {
    if (m_settings.m_auth != AuthMode::OAuth2) {
        start();
        return;
    }
    const std::string problem = m_settings.m_strOAuthProblem.empty()
                                    ? OAuthIncomplete(m_settings.m_oauth)
                                    : m_settings.m_strOAuthProblem;
    if (!problem.empty()) {
        FailRun(problem);
        return;
    }
    // Once a run, before any mailbox: a token the endpoint refuses touches none.
    m_launch = std::move(start);
    RequestToken();
}

void CRunSequencer::RequestToken() {
    if (m_token->Pending())
        return;
    ShowStatus("Requesting an access token");
    m_transcript.Append("\nAccess token requested from " + m_settings.m_oauth.m_strTokenUrl + "\n");
    m_token->Request(m_settings.m_oauth, [this, run = m_nRunId](const std::string& failure) {
        if (run == m_nRunId && m_bRunning)  // not a run replaced or ended meanwhile
            TokenArrived(failure);
    });
}

void CRunSequencer::TokenArrived(const std::string& failure) {
    m_transcript.Append(failure.empty() ? "Access token granted for " +
                                              std::to_string(m_token->Lifetime()) + " s\n"
                                        : "No access token: " + failure + "\n");
    if (m_launch) {
        auto start = std::exchange(m_launch, nullptr);
        if (failure.empty())
            start();
        else
            FailRun(failure);
        return;
    }
    // A renewal: the accounts waiting for it go on, or end without it.
    m_strTokenFailure = failure;
    const unsigned run = m_nRunId;
    for (size_t i = 0; i < m_nLanes && run == m_nRunId; ++i) {
        Lane& lane = *m_lanes[i];
        if (lane.step != STEP_TOKEN)
            continue;
        if (failure.empty())
            StartAccount(lane);
        else
            EndAccount(lane, "no access token: " + failure);
    }
}

void CRunSequencer::FailRun(const std::string& reason) {
    m_strRunFailure = reason;
    m_transcript.Append("\nNo access token: " + reason + "\n");
    ShowStatus("No access token: " + reason);
    EndRun();
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

void CRunSequencer::BeginResult(Lane& lane) {
    lane.throttled = lane.waitingThrottle = false;
    lane.carried = 0;
    if (m_nUserCount > 0 && static_cast<size_t>(lane.userIndex) < m_users.m_arrLines.size())
        AddSkippedLines(m_users.m_arrLines[lane.userIndex]);
    CAccountResult row;
    row.account = lane.account;
    row.begun = std::chrono::steady_clock::now();
    row.logBegin = m_transcript.Size();
    lane.row = m_results.size();
    m_results.push_back(std::move(row));
    m_host.ResultChanged(lane.row);
}

void CRunSequencer::FinishResult(Lane& lane, std::string failure) {
    if (lane.row >= m_results.size() || m_results[lane.row].finished)
        return;
    CAccountResult& row = m_results[lane.row];
    const CImapSocket& socket = lane.socket;
    row.searched = socket.m_bSearched == 1;
    row.found = socket.FoundCount() + lane.carried;
    row.flagged = socket.FlaggedCount() + lane.carried;
    row.deleted = socket.DeletedCount() + lane.carried;
    row.stopped = failure.rfind("run stopped", 0) == 0;
    row.failure = std::move(failure);
    row.finished = true;
    row.taken = std::chrono::steady_clock::now() - row.begun;
    if (m_nLanes > 1) {
        // The account's lines go into the log together, now that it is over.
        row.logBegin = lane.log.SpilledAt().value_or(m_transcript.Size());
        m_transcript.Append(lane.log.Release());
    }
    row.logEnd = m_transcript.Size();
    ++m_nDone;
    m_host.ResultChanged(lane.row);
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
    // The last account to end calls done, which may start the next run at once.
    const unsigned run = m_nRunId;
    for (size_t i = 0; i < m_nLanes && run == m_nRunId; ++i) {
        Lane& lane = *m_lanes[i];
        if (!lane.active)
            continue;
        if (lane.step == STEP_LOGOUT) {
            // Between two accounts.
            m_host.KillTimer(lane.nextTimer);
            lane.active = false;
        } else if (lane.step == STEP_TOKEN) {
            EndAccount(lane, "run stopped");
        } else if (lane.waitingThrottle) {
            lane.waitingThrottle = false;
            FailAccount(lane, "run stopped");  // its flags go now, not after the server's pause
        } else if (lane.step < STEP_STORE && !lane.socket.HasFlagged()) {
            EndAccount(lane, "run stopped");  // nothing flagged, nothing that could flag in flight
        }
        // Otherwise the command in flight completes first (see OnTimer).
    }
    if (run == m_nRunId)
        EndRunWhenIdle();
}

void CRunSequencer::StartAccount(Lane& lane) {
    const bool token = m_settings.m_auth == AuthMode::OAuth2;
    if (token && m_token->Valid().empty()) {
        if (!m_strTokenFailure.empty()) {
            EndAccount(lane, "no access token: " + m_strTokenFailure);
            return;
        }
        lane.step = STEP_TOKEN;  // no timer of its own runs meanwhile
        RequestToken();
        return;
    }
    lane.step = STEP_CONNECT;
    lane.socket.SetTokenSignIn(token);
    ShowStatus("Connected to server " + m_settings.m_strServerIP);
    lane.socket.Close();
    const unsigned port = static_cast<unsigned>(SafeAtoi(m_settings.m_strPort));
    if (!lane.socket.ConnectToServer(m_settings.m_strServerIP, port, m_settings.m_security,
                                     m_settings.m_strTrustedFingerprint)) {
        FailAccount(lane, lane.socket.FailureReason());
        return;
    }
    ArmTimer(lane.stepTimer);
}

void CRunSequencer::NextAccount(Lane& lane) {
    if (m_nNextUser < m_nUserCount &&
        static_cast<size_t>(m_nNextUser) < m_users.m_arrAccounts.size()) {
        lane.userIndex = m_nNextUser++;
        lane.account = m_strAccount = m_users.m_arrAccounts[lane.userIndex];
        lane.password = m_strPassword = m_users.m_arrPasswords[lane.userIndex];
        lane.active = true;
        BeginResult(lane);
        StartAccount(lane);
        return;
    }
    lane.active = false;
    if (std::none_of(m_lanes.begin(), m_lanes.begin() + static_cast<long>(m_nLanes),
                     [](const auto& other) { return other->active; }))
        CompleteRun();
}

int32_t CRunSequencer::AwaitedFlag(const Lane& lane) const {
    const CImapSocket& socket = lane.socket;
    switch (lane.step) {
        case STEP_CONNECT:
            return socket.m_bConnected;
        case STEP_LOGIN:
            return socket.m_bLoggedIn;
        case STEP_CAPABILITY:
            return socket.m_bCapable;
        case STEP_SELECT:
            return socket.m_bSelected;
        case STEP_SEARCH:
            return socket.m_bSearched;
        case STEP_STORE:
            return socket.m_bStored;
        case STEP_CHECK:
            return socket.m_bChecked;
        case STEP_EXPUNGE:
            return socket.m_bExpunged;
        case STEP_UNFLAG:
            return socket.m_bUnflagged;
        default:
            return 0;
    }
}

int32_t CRunSequencer::NextStep(const Lane& lane) const {
    if (m_bPreview && lane.step == STEP_LOGIN)
        return STEP_SELECT;
    if (m_bPreview && lane.step == STEP_SEARCH)
        return STEP_LOGOUT;
    switch (lane.step) {
        case STEP_STORE:
            // Nothing flagged, nothing to expunge: other clients' flags stay theirs.
            if (!lane.socket.HasFlagged())
                return STEP_LOGOUT;
            return lane.socket.UsesUids() ? STEP_EXPUNGE : STEP_CHECK;
        case STEP_EXPUNGE:
            return STEP_LOGOUT;
        default:
            return lane.step + 1;
    }
}

void CRunSequencer::OnTimer(int id) {
    const int number = (id - TIMER_STEP) / 2;
    if (id < TIMER_STEP || static_cast<size_t>(number) >= m_nLanes)
        return;
    Lane& lane = *m_lanes[static_cast<size_t>(number)];
    if (id == lane.nextTimer) {
        m_host.KillTimer(id);
        NextAccount(lane);
        return;
    }
    if (lane.waitingThrottle) {
        lane.waitingThrottle = false;
        m_host.KillTimer(lane.stepTimer);
        RetryThrottled(lane);
        return;
    }
    if (lane.step >= STEP_LOGOUT)
        return;
    CImapSocket& socket = lane.socket;
    const bool removing = lane.step == STEP_UNFLAG;
    if (socket.HasFailed() && socket.ThrottleMs() > 0 && !lane.throttled) {
        // Once an account: after the pause the server asked for, the same command again.
        lane.throttled = lane.waitingThrottle = true;
        lane.log.Append("\nThrottled: trying again in " + std::to_string(socket.ThrottleMs()) +
                        " ms\n");
        m_host.SetTimer(lane.stepTimer,
                        std::max(static_cast<int>(socket.ThrottleMs()), kShortestTimerMs));
        return;
    }
    if (socket.HasFailed()) {
        if (removing)
            EndAccount(lane, lane.ending + "; deleted flags may remain");
        else
            FailAccount(lane, socket.FailureReason());
        return;
    }
    if (AwaitedFlag(lane) != 1) {
        if (std::chrono::steady_clock::now() - socket.LastActivity() < m_silenceLimit)
            return;
        // A silent server would not answer the unflagging either.
        socket.Close();
        if (removing)
            EndAccount(lane, lane.ending + "; deleted flags may remain");
        else
            FailAccount(lane, "no answer from server");
        return;
    }
    m_host.KillTimer(lane.stepTimer);
    if (removing) {
        EndAccount(lane, lane.ending + (socket.FlaggedKnown() ? "; deleted flags removed"
                                                              : "; deleted flags may remain"));
        return;
    }
    const int32_t next = NextStep(lane);
    if (m_bStopping && next != STEP_LOGOUT)
        FailAccount(lane, "run stopped");
    else
        RunStep(lane, next);
}

void CRunSequencer::RetryThrottled(Lane& lane) {
    CImapSocket& socket = lane.socket;
    if (!socket.IsConnected() || lane.step == STEP_CONNECT) {
        // What the lost session deleted stays counted; the new one searches
        // again and finds the rest, flagged or not.
        lane.carried += socket.DeletedCount();
        lane.log.Append("\nConnecting again\n");
        StartAccount(lane);
        return;
    }
    const bool sets = lane.step == STEP_STORE || lane.step == STEP_UNFLAG ||
                      (lane.step == STEP_EXPUNGE && socket.UsesUids());
    if (!sets) {
        RunStep(lane, lane.step);
        return;
    }
    socket.RetrySet();  // the sets before it completed
    ArmTimer(lane.stepTimer);
}

void CRunSequencer::RunStep(Lane& lane, int32_t step) {
    CImapSocket& socket = lane.socket;
    lane.step = step;
    switch (step) {
        case STEP_LOGIN:
            ShowStatus("Login User " + lane.account);
            if ((m_settings.m_auth == AuthMode::OAuth2
                     ? socket.SendAuthenticate(lane.account, m_token->Valid())
                     : socket.SendLogin(lane.account, lane.password)) == 0) {
                FailAccount(lane, socket.FailureReason());
                return;
            }
            break;
        case STEP_CAPABILITY:
            socket.SendCapability();
            break;
        case STEP_SELECT:
            socket.SendSelect();
            break;
        case STEP_SEARCH:
            ShowStatus("Search mails with date before " + m_strBeforeDate);
            socket.SendSearch(m_strBeforeDate);
            break;
        case STEP_STORE:
            if (socket.FoundCount() == 0)
                ShowStatus("No message found");
            else
                ShowStatus("Deleting " + std::to_string(socket.FoundCount()) + " mails");
            socket.SendStore();
            break;
        case STEP_CHECK:
            socket.SendCheck();
            break;
        case STEP_EXPUNGE:
            socket.SendExpunge();
            break;
        default:  // logout: the account is done
            socket.SendLogout();
            socket.Close();
            ShowStatus("Logout from exchange server.");
            FinishResult(lane, "");
            LaneDone(lane);
            return;
    }
    ArmTimer(lane.stepTimer);
}

void CRunSequencer::FailAccount(Lane& lane, std::string reason) {
    // Taken by value: the reason often lives in the socket, which the next command resets.
    CImapSocket& socket = lane.socket;
    m_host.KillTimer(lane.stepTimer);
    if (socket.UntrustedCertificate() && (!m_bTrustAsked || m_bTrustPending)) {
        // Once a run: the administrator may trust the certificate, and the
        // accounts waiting for the answer start again with it trusted. No timer
        // of theirs runs while asked.
        lane.step = STEP_TRUST;
        lane.ending = std::move(reason);
        if (m_bTrustAsked)
            return;
        m_bTrustAsked = m_bTrustPending = true;
        m_host.AskTrust(socket.Peer(), m_settings.m_strServerIP,
                        [this, run = m_nRunId](bool trusted) {
                            if (run == m_nRunId)  // not a run replaced meanwhile
                                AnswerTrust(trusted);
                        });
        return;
    }
    if (socket.HasFlagged() || !socket.FlaggedKnown()) {
        if (socket.IsConnected()) {
            // What this account flagged must not wait for somebody else's EXPUNGE.
            lane.ending = std::move(reason);
            lane.step = STEP_UNFLAG;
            socket.SendUnflag();
            ArmTimer(lane.stepTimer);
            return;
        }
        reason += "; deleted flags may remain";
    }
    EndAccount(lane, std::move(reason));
}

void CRunSequencer::AnswerTrust(bool trusted) {
    m_bTrustPending = false;
    const unsigned run = m_nRunId;  // a stop ending here may start the next run
    for (size_t i = 0; i < m_nLanes && run == m_nRunId; ++i) {
        Lane& lane = *m_lanes[i];
        if (lane.step != STEP_TRUST)
            continue;
        if (trusted && !m_bStopping)
            StartAccount(lane);
        else
            EndAccount(lane, lane.ending);
    }
}

void CRunSequencer::EndAccount(Lane& lane, std::string failure) {
    CImapSocket& socket = lane.socket;
    m_host.KillTimer(lane.stepTimer);
    if (socket.m_bLoggedIn == 1 && socket.IsConnected())
        socket.SendLogout();
    socket.Close();
    lane.step = STEP_LOGOUT;
    const std::string text = "Failed for user " + lane.account + ": " + failure;
    lane.log.Append("\n" + text + "\n");
    FinishResult(lane, std::move(failure));
    ShowStatus(text);
    LaneDone(lane);
}

void CRunSequencer::LaneDone(Lane& lane) {
    if (!m_bStopping) {
        ArmTimer(lane.nextTimer);
        return;
    }
    lane.active = false;
    EndRunWhenIdle();
}

void CRunSequencer::EndRunWhenIdle() {
    if (m_bRunning && std::none_of(m_lanes.begin(), m_lanes.begin() + static_cast<long>(m_nLanes),
                                   [](const auto& lane) { return lane->active; }))
        EndRun();
}

void CRunSequencer::EndRun() {
    StopTimers();
    m_token->Cancel();
    m_launch = nullptr;
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
    for (const auto& lane : m_lanes) {
        m_host.KillTimer(lane->stepTimer);
        m_host.KillTimer(lane->nextTimer);
    }
}

void CRunSequencer::ShowStatus(std::string text) {
    m_strStatus = std::move(text);
    m_host.ShowStatus(m_strStatus);
}
