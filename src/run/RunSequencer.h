// The deletion run: walks each account through connect (with TLS as the
// settings and the known servers ask), LOGIN, CAPABILITY, SELECT, SEARCH,
// STORE, the check for other deleted mail with its EXPUNGE (without UIDPLUS)
// or UID EXPUNGE, and LOGOUT, one step per timer tick, a step starting only
// once the session has completed the previous one. An account whose command
// fails, whose server goes silent or too slow, is ended (its \Deleted flags
// taken back first, on a new connection when the old one is gone) and the run
// goes on with the next one. Flags follow the account: what a lost session
// left is taken back by the account's next session. A list run may have
// several accounts in progress, each in a session (a lane) of its own, paced
// the same; the accounts still start in the list's order. A run works on the
// settings and the user list as they were when it started.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "run/Rules.h"
#include "run/RunHost.h"
#include "settings/GoogleKey.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

class CAccessToken;
class CManifestWriter;
class CTranscript;
struct CPlan;
struct CRestorePlan;

// What a run records, copies and cleans beyond the settings.
struct CRunOptions {
    std::string manifest;  // where the run's manifest goes; "" none
    std::string archive;   // the folder a copy of each message goes to first; "" none
    CRules rules;          // no folder lines: INBOX, at the run's day
    // Delete exactly what this preview's plan lists (its accounts, folders,
    // UIDs) and nothing else; it must outlive the run.
    const CPlan* plan = nullptr;
    // Put back the copies of a manifest's deleted messages instead of deleting.
    const CRestorePlan* restore = nullptr;
};

// The steps of one account, in the order they can come.
enum : int32_t {
    STEP_CONNECT,
    STEP_LOGIN,
    STEP_CAPABILITY,
    STEP_LIST,  // the folders, when the rules name one by its use or Trash is needed
    STEP_SELECT,
    STEP_TAKEBACK,  // the flags an earlier session of the account left
    STEP_SEARCH,
    STEP_FETCH,    // what the manifest records, one set a step
    STEP_COPYOUT,  // the copies before deletion, a few messages a step
    STEP_MOVE,     // to Trash: MOVE, or COPY before STORE
    STEP_PROBE,    // restoring: is the message there already?
    STEP_APPEND,   // restoring: the message put back
    STEP_STORE,
    STEP_CHECK,
    STEP_EXPUNGE,
    STEP_UNFLAG,
    STEP_VERIFY,  // after a failure: which flagged messages the server still holds
    STEP_LOGOUT,
    STEP_TRUST,  // waiting for the administrator to trust a certificate, or not
    STEP_TOKEN,  // waiting for a new access token, or for the account's own
};

// What became of one account of the run, or of a line of the user list that
// names none. Added when the account's turn starts.
struct CAccountResult {
    std::string account;
    size_t found = 0;
    size_t flagged = 0;
    unsigned deleted = 0;
    std::string failure;    // "" when the account completed
    int skippedLine = 0;    // >0: no account, the line of the user list skipped
    bool finished = false;  // its turn has ended
    bool searched = false;  // found is known
    bool stopped = false;   // ended because the run was stopped
    bool inClear = false;   // a password went to the server without TLS
    std::string detail;     // the folders cleaned, when the rules named more than INBOX
    unsigned moved = 0;     // moved to Trash
    // A restore's: put back, already there, not put back.
    bool restoring = false;
    unsigned restored = 0, skipped = 0, notRestored = 0;
    std::chrono::steady_clock::time_point begun;
    std::chrono::steady_clock::duration taken{};
    // Its part of the log file: [logBegin, logEnd).
    uint64_t logBegin = 0;
    uint64_t logEnd = 0;

    // A skipped line counts as failed: its account, if any, was not purged.
    bool Failed() const { return finished && !failure.empty() && !stopped; }
};

class CRunSequencer {
public:
    // The run's sessions log to transcript. Each run takes the settings and
    // the user list as they are when it starts.
    CRunSequencer(IRunHost& host, CTranscript& transcript, const CSettings& settings,
                  const CUserList& users);
    ~CRunSequencer();

    // preview: only LOGIN, SELECT, SEARCH and LOGOUT; nothing is flagged or
    // expunged, the results count what a deleting run would remove. A list run
    // has the settings' accounts at once in progress.
    void StartSingleRun(const std::string& account, const std::string& password,
                        const std::string& beforeDate, bool preview = false);
    void StartListRun(const std::string& beforeDate, bool preview = false);
    void OnTimer(int id);

    // True from a start until "Operazione completata." (or the run stopped).
    bool IsRunning() const { return m_bRunning; }
    bool IsPreview() const { return m_bPreview; }
    // The last account started, counted from 1; the accounts of the run; those done.
    int32_t AccountNumber() const { return m_nUserCount > 0 ? m_nNextUser : 1; }
    int32_t AccountCount() const { return m_nUserCount > 0 ? m_nUserCount : 1; }
    int32_t AccountsDone() const { return m_nDone; }
    // Where the first session is (STEP_LOGOUT between accounts).
    int32_t Step() const;
    // Ends the run at the next step boundary of every account in progress: its
    // flags removed, LOGOUT; then calls done (at once when no run is in progress).
    void Stop(std::function<void()> done);

    // Why the run ended before any account: the OAuth2 settings or the
    // Google key cannot be used, no access token came, the manifest could not
    // be made. "" otherwise.
    const std::string& RunFailure() const { return m_strRunFailure; }
    // For the next runs: records, copies, rules, a plan.
    void SetRunOptions(CRunOptions options);
    const CRunOptions& RunOptions() const { return m_options; }

    // How long the server may stay silent while a step waits, and how long a
    // command may take however the server trickles (before the allowance
    // for the messages it names).
    void SetSilenceLimit(std::chrono::milliseconds limit) { m_silenceLimit = limit; }
    void SetDeadline(std::chrono::milliseconds base) { m_deadline = base; }
    // The shortest token lifetime a run takes (CAccessToken::kMinLifetime).
    void SetMinTokenLifetime(long seconds);

    static constexpr int kShortestTimerMs = 10;
    static constexpr std::chrono::minutes kDefaultSilenceLimit{5};
    static constexpr std::chrono::minutes kDefaultDeadline{5};

    // The account started last, and its password.
    std::string m_strAccount;
    std::string m_strPassword;
    std::string m_strBeforeDate;
    int32_t m_nUserCount = 0;
    std::string m_strStatus;
    // One entry per account whose turn has come, and per skipped line of the
    // user list, in the user list's order.
    std::vector<CAccountResult> m_results;

private:
    struct Lane;

    void BeginRun(const std::string& beforeDate, bool preview, int lanes);
    // Calls start now, or with OAuth2 once the run's access token is here.
    void Launch(std::function<void()> start);
    void RequestToken();
    void TokenArrived(const std::string& failure);
    // Google: the lane's account asks for its own token, and goes on with it.
    void RequestUserToken(Lane& lane);
    void UserTokenArrived(Lane& lane, const std::string& failure);
    // The run ends before any account: no access token (token), or settings
    // no run may use.
    void FailRun(const std::string& reason, bool token = true);
    // The pause a throttling server asked for is over: the same command again,
    // or the account again on a new connection when the server hung up.
    void RetryThrottled(Lane& lane);
    // Keeps the last log, starts an empty one; what the settings' load put right comes first.
    void StartTranscript();
    // Adds the skipped lines of the user list before line (all: INT_MAX).
    void AddSkippedLines(int line);
    void BeginResult(Lane& lane);
    void FinishResult(Lane& lane, std::string failure);
    void CompleteRun();
    void StartAccount(Lane& lane);
    // The lane takes the next account of the list; the run ends after the last.
    void NextAccount(Lane& lane);
    void RunStep(Lane& lane, int32_t step);
    // The step after the one just completed, doing what lies between (a
    // folder's records closed, the next folder taken up).
    int32_t Advance(Lane& lane);
    // The folders of the account: from the plan, or from the rules.
    void PlanFolders(Lane& lane);
    // After LIST: the folders named by use found, Trash found, missing ones noted.
    void ResolveFolders(Lane& lane);
    // The next folder to SELECT, or STEP_LOGOUT after the last.
    int32_t NextFolder(Lane& lane);
    // After the search and the records: move, store, or (a preview) done.
    int32_t ActionStep(Lane& lane);
    // The folder's work ended: its records closed, its counts added.
    int32_t FolderDone(Lane& lane);
    // Restoring: the next message to look for or put back, or the next folder.
    int32_t NextRestore(Lane& lane);
    bool NeedsList(const Lane& lane) const;
    // The step in progress completed, failed, or ran out of time.
    void StepDone(Lane& lane);
    void StepFailed(Lane& lane);
    void StepOverdue(Lane& lane);
    void FailAccount(Lane& lane, std::string reason);
    void AnswerTrust(bool trusted, const std::string& fingerprint);
    // Ends the account; when it had flags to take back, the reason says
    // whether they were or may remain.
    void EndAccount(Lane& lane, std::string failure);
    bool FlagsLeft(const Lane& lane) const;
    // The configured server completed TLS: the run and the host remember it.
    void RememberTls();
    // After an account: the pause before the lane's next one, or, when
    // stopping, the lane's end.
    void LaneDone(Lane& lane);
    void EndRunWhenIdle();
    void EndRun();
    void ArmTimer(int id);
    void StopTimers();
    void ShowStatus(std::string text);
    int32_t AwaitedFlag(const Lane& lane) const;

    IRunHost& m_host;
    CTranscript& m_transcript;
    const CSettings& m_liveSettings;
    const CUserList& m_liveUsers;
    // The run's own copies, taken when it starts.
    CSettings m_settings;
    CUserList m_users;
    CRunOptions m_options;
    std::unique_ptr<CManifestWriter> m_manifest;
    std::string m_strManifestProblem;
    // Sessions, kept from run to run; the run uses the first m_nLanes.
    std::vector<std::unique_ptr<Lane>> m_lanes;
    size_t m_nLanes = 1;
    int32_t m_nNextUser = 0;  // the list's next account to start
    int32_t m_nDone = 0;
    bool m_bRunning = false;
    bool m_bPreview = false;
    bool m_bStopping = false;
    size_t m_nSkippedAdded = 0;
    bool m_bTrustAsked = false;
    bool m_bTrustPending = false;  // asked, no answer yet
    unsigned m_nRunId = 0;         // tells an answer for a run replaced since
    std::unique_ptr<CAccessToken> m_token;
    std::function<void()> m_launch;  // what waits for the run's first token
    std::string m_strTokenFailure;   // why a renewal failed: later accounts fail at once
    CGoogleKey m_googleKey;          // read when a Google run starts, dropped at its end
    std::string m_strRunFailure;
    std::function<void()> m_onStopped;
    std::chrono::steady_clock::duration m_silenceLimit = kDefaultSilenceLimit;
    std::chrono::steady_clock::duration m_deadline = kDefaultDeadline;
};
