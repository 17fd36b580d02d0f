#include "frame/RunSequencer.h"

#include <algorithm>

#include "imap/ImapSocket.h"
#include "imap/MessageSet.h"
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

void CRunSequencer::StartSingleRun(const std::string& account, const std::string& password,
                                   const std::string& beforeDate) {
    // A tick the previous run had armed must not reach this one.
    StopTimers();
    m_nUserCount = 0;
    m_transcript.Clear();
    m_strAccount = account;
    m_strPassword = password;
    m_strBeforeDate = beforeDate;
    m_bRunning = true;
    StartAccount();
}

void CRunSequencer::StartListRun(const std::string& beforeDate) {
    StopTimers();
    m_transcript.Clear();
    m_nUserCount =
        static_cast<int32_t>(std::min(m_users.m_arrAccounts.size(), m_users.m_arrPasswords.size()));
    m_strBeforeDate = beforeDate;
    if (m_nUserCount <= 0) {
        m_socket.Close();
        m_bRunning = false;
        return;
    }
    m_nUserIndex = 0;
    m_strAccount = m_users.m_arrAccounts[0];
    m_strPassword = m_users.m_arrPasswords[0];
    m_bRunning = true;
    StartAccount();
}

void CRunSequencer::StartAccount() {
    m_nStep = 0;
    ShowStatus("Connected to server " + m_settings.m_strServerIP);
    m_socket.Close();
    const unsigned port = static_cast<unsigned>(SafeAtoi(m_settings.m_strPort));
    if (!m_socket.ConnectToServer(m_settings.m_strServerIP, port)) {
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
        StartAccount();
        return;
    }
    m_bRunning = false;
    ShowStatus("Operazione completata.");
}

int32_t CRunSequencer::AwaitedFlag() const {
    switch (m_nStep) {
        case 0:
            return m_socket.m_bConnected;
        case 1:
            return m_socket.m_bLoggedIn;
        case 2:
            return m_socket.m_bSelected;
        case 3:
            return m_socket.m_bSearched;
        case 4:
            return m_socket.m_bStored;
        case 5:
            return m_socket.m_bExpunged;
        default:
            return 0;
    }
}

void CRunSequencer::OnTimer(int id) {
    if (id == TIMER_NEXT_USER) {
        m_host.KillTimer(TIMER_NEXT_USER);
        NextAccount();
        return;
    }
    if (id != TIMER_STEP || m_nStep < 0 || m_nStep > 5)
        return;
    if (m_socket.HasFailed()) {
        FailAccount(m_socket.FailureReason());
        return;
    }
    if (AwaitedFlag() == 1) {
        m_host.KillTimer(TIMER_STEP);
        RunStep();
        return;
    }
    if (std::chrono::steady_clock::now() - m_socket.LastActivity() >= m_silenceLimit)
        FailAccount("no answer from server");
}

void CRunSequencer::RunStep() {
    switch (m_nStep) {
        case 0:  // login
            ++m_nStep;
            ShowStatus("Login User " + m_strAccount);
            if (m_socket.SendLogin(m_strAccount, m_strPassword) == 0) {
                FailAccount(m_socket.FailureReason());
                return;
            }
            ArmTimer(TIMER_STEP);
            break;
        case 1:  // select
            ++m_nStep;
            m_socket.SendSelect();
            ArmTimer(TIMER_STEP);
            break;
        case 2:  // search
            ++m_nStep;
            ShowStatus("Search mails with date before " + m_strBeforeDate);
            m_socket.SendSearch(m_strBeforeDate);
            ArmTimer(TIMER_STEP);
            break;
        case 3:  // store
            ++m_nStep;
            if (m_socket.m_arrFound.IsEmpty())
                ShowStatus("No message found");
            else
                ShowStatus("Deleting " +
                           std::to_string(CountDistinct(m_socket.m_arrFound.Values())) + " mails");
            m_socket.SendStore();
            ArmTimer(TIMER_STEP);
            break;
        case 4:  // expunge
            ++m_nStep;
            m_socket.SendExpunge();
            ArmTimer(TIMER_STEP);
            break;
        case 5:  // logout
            ++m_nStep;
            m_socket.SendLogout();
            m_socket.Close();
            ShowStatus("Logout from exchange server.");
            ArmTimer(TIMER_NEXT_USER);
            break;
        default:
            break;
    }
}

void CRunSequencer::FailAccount(std::string reason) {
    // Taken by value: the reason often lives in the socket, which the LOGOUT below resets.
    m_host.KillTimer(TIMER_STEP);
    if (m_socket.m_bLoggedIn == 1 && m_socket.IsConnected())
        m_socket.SendLogout();
    m_socket.Close();
    m_nStep = 6;
    const std::string text = "Failed for user " + m_strAccount + ": " + reason;
    m_transcript.Append("\n" + text + "\n");
    ShowStatus(text);
    ArmTimer(TIMER_NEXT_USER);
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
