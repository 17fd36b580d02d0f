// The run as a whole: its start, its lanes, the access token, the results
// and the ending. What happens to one account is in AccountSteps.cpp.
#include "run/RunSequencer.h"

#include <algorithm>
#include <climits>

#include "run/AccessToken.h"
#include "run/Manifest.h"
#include "run/RunLane.h"

CRunSequencer::CRunSequencer(IRunHost& host, CTranscript& transcript, const CSettings& settings,
                             const CUserList& users)
    : m_host(host),
      m_transcript(transcript),
      m_liveSettings(settings),
      m_liveUsers(users),
      m_token(std::make_unique<CAccessToken>()) {}

CRunSequencer::~CRunSequencer() = default;

void CRunSequencer::SetMinTokenLifetime(long seconds) {
    m_token->SetMinLifetime(seconds);
}

int32_t CRunSequencer::Step() const {
    return m_lanes.empty() ? STEP_LOGOUT : m_lanes.front()->step;
}

void CRunSequencer::BeginRun(const std::string& beforeDate, bool preview, int lanes) {
    // A tick the previous run had armed must not reach this one.
    StopTimers();
    ++m_nRunId;
    // The run's own copy: what is changed while it runs counts from the next.
    m_settings = m_liveSettings;
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
    m_googleKey = CGoogleKey();
    for (const auto& lane : m_lanes) {
        lane->userToken.Cancel();
        lane->socket.Close();
        lane->socket.SetDeadlineBase(m_deadline);
        // A replaced run's unfinished accounts still go into its log.
        m_transcript.Append(lane->log.Release());
        lane->log.Hold(m_nLanes > 1);
        lane->active = false;
        lane->step = STEP_LOGOUT;
    }
    StartTranscript();
    // One manifest a run, its rows from every lane as their outcomes come.
    m_manifest.reset();
    m_strManifestProblem.clear();
    if (!m_options.manifest.empty()) {
        m_manifest = std::make_unique<CManifestWriter>();
        m_strManifestProblem = m_manifest->Create(m_options.manifest);
        if (!m_strManifestProblem.empty())
            m_manifest.reset();
    }
    for (size_t i = 0; i < m_lanes.size(); ++i)
        m_lanes[i]->records.BeginRun(m_manifest.get(), m_options.archive,
                                     "lane" + std::to_string(i) + ".spool", preview);
    m_host.RunStarted();
}

void CRunSequencer::SetRunOptions(CRunOptions options) {
    m_options = std::move(options);
}

void CRunSequencer::StartSingleRun(const std::string& account, const std::string& password,
                                   const std::string& beforeDate, bool preview) {
    BeginRun(beforeDate, preview, 1);
    m_users = CUserList();
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
    BeginRun(beforeDate, preview, m_liveSettings.m_nParallel);
    m_users = m_liveUsers;
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
    if (const std::string problem = ConfigurationProblem(m_settings); !problem.empty()) {
        FailRun(problem, false);  // the hosts refuse first; this is the last guard
        return;
    }
    if (!m_strManifestProblem.empty()) {
        FailRun(m_strManifestProblem, false);  // nothing is deleted that can't be recorded
        return;
    }
    if (m_settings.m_auth == AuthMode::Google) {
        // Read for each run, so that a replaced key counts; its CA line makes
        // the OAuth file matter when it is there.
        std::string problem = m_settings.m_strOAuthProblem;
        if (problem.empty())
            problem = LoadGoogleKey(m_settings.m_strGoogleKeyFile, m_googleKey);
        if (!problem.empty()) {
            FailRun(problem);
            return;
        }
    }
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

void CRunSequencer::RequestUserToken(Lane& lane) {
    lane.step = STEP_TOKEN;  // no timer of its own runs meanwhile
    ShowStatus("Requesting an access token for " + lane.account);
    lane.log.Append("\nAccess token requested for " + lane.account + " from " +
                    m_googleKey.tokenUri + "\n");
    lane.userToken.Request(m_googleKey, m_settings.m_oauth.m_strCaFile, lane.account,
                           [this, &lane, run = m_nRunId](const std::string& failure) {
                               if (run == m_nRunId && m_bRunning && lane.step == STEP_TOKEN)
                                   UserTokenArrived(lane, failure);
                           });
}

void CRunSequencer::UserTokenArrived(Lane& lane, const std::string& failure) {
    if (!failure.empty()) {
        // A session only to take back flags keeps the account's first reason.
        EndAccount(lane, lane.recovering ? lane.ending : failure);
        return;
    }
    lane.log.Append("Access token granted\n");
    lane.token = lane.userToken.Take();
    StartAccount(lane);
}

void CRunSequencer::FailRun(const std::string& reason, bool token) {
    m_strRunFailure = token ? "no access token: " + reason : reason;
    const std::string text = token ? "No access token: " + reason : reason;
    m_transcript.Append("\n" + text + "\n");
    ShowStatus(text);
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
    lane.BeginAccount();
    lane.log.BeginAccount();
    PlanFolders(lane);
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
    // Ended folders, and the one in progress when the account ended in it;
    // what lost sessions deleted counts too; a recovery session searched nothing.
    // Without a session of its own (no token came) the socket still holds
    // the lane's account before: none of that counts.
    const bool inFolder = lane.connected && lane.job < lane.jobs.size();
    const size_t earlier = lane.job < lane.jobs.size() ? lane.ledger.deleted : 0;
    row.searched =
        lane.recovering ? lane.searched : (inFolder && socket.m_bSearched == 1) || lane.job > 0;
    row.found = lane.recovering ? lane.found
                                : lane.foundTotal + (inFolder ? socket.FoundCount() : 0) + earlier;
    row.flagged = lane.recovering
                      ? lane.flagged
                      : lane.flaggedTotal + (inFolder ? socket.FlaggedCount() : 0) + earlier;
    row.deleted = lane.deletedTotal + static_cast<unsigned>(earlier) +
                  (inFolder && !lane.recovering ? socket.DeletedCount() : 0);
    row.moved = lane.moved + (inFolder ? socket.MovedCount() : 0);
    row.stopped = failure.rfind("run stopped", 0) == 0;
    row.failure = std::move(failure);
    // What was cleaned, and the notes ("no folder \Junk") unless they are the failure.
    row.detail = lane.cleaned;
    if (!lane.notes.empty() && row.failure != lane.notes)
        row.detail += (row.detail.empty() ? "" : "; ") + lane.notes;
    row.restoring = m_options.restore != nullptr;
    row.restored = lane.restored;
    row.skipped = lane.skipped;
    row.notRestored = lane.notRestored;
    row.inClear = lane.inClear;
    row.finished = true;
    row.taken = std::chrono::steady_clock::now() - row.begun;
    lane.log.EndAccount();
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
    size_t failed = 0, messages = 0, accounts = 0, deleted = 0;
    for (const CAccountResult& row : m_results) {
        failed += row.Failed();
        deleted += row.deleted;
        if (row.failure.empty() && row.found > 0) {
            messages += row.found;
            ++accounts;
        }
    }
    std::string text =
        m_bPreview ? "Preview completed: " + std::to_string(messages) + " messages in " +
                         std::to_string(accounts) + " accounts would be deleted."
                   : "Operazione completata. " + std::to_string(deleted) + " messages deleted.";
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
        } else if (lane.step < STEP_TAKEBACK && !lane.recovering && lane.ledger.Empty() &&
                   !lane.socket.HasFlagged()) {
            // Nothing flagged, nothing that could flag in flight, nothing to take back.
            EndAccount(lane, "run stopped");
        }
        // Otherwise the command in flight completes first (see OnTimer).
    }
    if (run == m_nRunId)
        EndRunWhenIdle();
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

void CRunSequencer::AnswerTrust(bool trusted, const std::string& fingerprint) {
    m_bTrustPending = false;
    if (trusted) {
        // The host stored the pin; the run's copy follows.
        m_settings.m_strTrustedFingerprint = fingerprint;
        m_settings.m_known.m_servers[m_settings.Server()].fingerprint = fingerprint;
    }
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

void CRunSequencer::RememberTls() {
    m_settings.m_known.m_servers[m_settings.Server()].tls = true;
    m_host.ServerSpokeTls(m_settings.Server());
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
    for (const auto& lane : m_lanes) {
        lane->userToken.Cancel();
        lane->token.clear();
    }
    m_googleKey = CGoogleKey();
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
