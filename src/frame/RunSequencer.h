// The deletion run: walks one account after another through connect, LOGIN,
// SELECT, SEARCH, STORE, EXPUNGE and LOGOUT, one step per timer tick, a step
// starting only once the session has completed the previous one. An account
// whose command fails, or whose server goes silent, is ended and the run goes
// on with the next one.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "frame/RunHost.h"

class CImapSocket;
class CTranscript;
struct CSettings;
struct CUserList;

class CRunSequencer {
public:
    CRunSequencer(IRunHost& host, CImapSocket& socket, CTranscript& transcript,
                  const CSettings& settings, const CUserList& users);

    void StartSingleRun(const std::string& account, const std::string& password,
                        const std::string& beforeDate);
    void StartListRun(const std::string& beforeDate);
    void OnTimer(int id);

    // True from a start until "Operazione completata." (or an empty list run).
    bool IsRunning() const { return m_bRunning; }

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
    int32_t m_nStep = 0;
    std::string m_strStatus;

private:
    void StartAccount();
    void NextAccount();
    void RunStep();
    void FailAccount(std::string reason);
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
    std::chrono::steady_clock::duration m_silenceLimit = kDefaultSilenceLimit;
};
