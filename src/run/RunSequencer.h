// The deletion run: walks one account after another through connect (with TLS
// as the settings ask), LOGIN,
// CAPABILITY, SELECT, SEARCH, STORE, the check for other deleted mail (without
// UIDPLUS), EXPUNGE and LOGOUT, one step per timer tick, a step starting only
// once the session has completed the previous one. An account whose command
// fails, or whose server goes silent, is ended (its \Deleted flags removed
// first while the connection allows) and the run goes on with the next one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "run/RunHost.h"

class CImapSocket;
class CTranscript;
struct CSettings;
struct CUserList;

// The steps of one account, in the order they can come.
enum : int32_t {
    STEP_CONNECT,
    STEP_LOGIN,
    STEP_CAPABILITY,
    STEP_SELECT,
    STEP_SEARCH,
    STEP_STORE,
    STEP_CHECK,
    STEP_EXPUNGE,
    STEP_UNFLAG,
    STEP_LOGOUT,
    STEP_TRUST,  // waiting for the administrator to trust a certificate, or not
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
    CRunSequencer(IRunHost& host, CImapSocket& socket, CTranscript& transcript,
                  const CSettings& settings, const CUserList& users);

    // preview: only LOGIN, SELECT, SEARCH and LOGOUT; nothing is flagged or
    // expunged, the results count what a deleting run would remove.
    void StartSingleRun(const std::string& account, const std::string& password,
                        const std::string& beforeDate, bool preview = false);
    void StartListRun(const std::string& beforeDate, bool preview = false);
    void OnTimer(int id);

    // True from a start until "Operazione completata." (or the run stopped).
    bool IsRunning() const { return m_bRunning; }
    bool IsPreview() const { return m_bPreview; }
    // The account in progress, counted from 1, and the accounts of the run.
    int32_t AccountNumber() const { return m_nUserCount > 0 ? m_nUserIndex + 1 : 1; }
    int32_t AccountCount() const { return m_nUserCount > 0 ? m_nUserCount : 1; }
    // Ends the run at the next step boundary: the account's flags removed,
    // LOGOUT; then calls done (at once when no run is in progress).
    void Stop(std::function<void()> done);

    // How long the server may stay silent while a step waits.
    void SetSilenceLimit(std::chrono::milliseconds limit) { m_silenceLimit = limit; }

    static constexpr int kShortestTimerMs = 10;
    static constexpr std::chrono::minutes kDefaultSilenceLimit{5};

    // Run state.
    std::string m_strAccount;
    std::string m_strPassword;
    std::string m_strBeforeDate;
    int32_t m_nUserIndex = 0;
    int32_t m_nUserCount = 0;
    int32_t m_nStep = STEP_CONNECT;
    std::string m_strStatus;
    // One entry per account whose turn has come, and per skipped line of the
    // user list, in run order.
    std::vector<CAccountResult> m_results;

private:
    void BeginRun(const std::string& beforeDate, bool preview);
    // Keeps the last log, starts an empty one; what the settings' load put right comes first.
    void StartTranscript();
    // Adds the skipped lines of the user list before line (all: INT_MAX).
    void AddSkippedLines(int line);
    void BeginResult();
    void FinishResult(std::string failure);
    void CompleteRun();
    void StartAccount();
    void NextAccount();
    void RunStep(int32_t step);
    int32_t NextStep() const;
    void FailAccount(std::string reason);
    void EndAccount(std::string failure);
    void EndRun();
    void ArmTimer(int id);
    void StopTimers();
    void ShowStatus(std::string text);
    int32_t AwaitedFlag() const;

    IRunHost& m_host;
    CImapSocket& m_socket;
    CTranscript& m_transcript;
    const CSettings& m_settings;
    const CUserList& m_users;
    bool m_bRunning = false;
    bool m_bPreview = false;
    bool m_bStopping = false;
    size_t m_nSkippedAdded = 0;
    bool m_bTrustAsked = false;
    std::function<void()> m_onStopped;
    // Why the account ends, while its flags are being removed.
    std::string m_strEnding;
    std::chrono::steady_clock::duration m_silenceLimit = kDefaultSilenceLimit;
};
