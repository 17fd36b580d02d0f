// One session of the run and the account it is working on; shared by the
// run's two halves (RunSequencer.cpp: the run, AccountSteps.cpp: an account).
#pragma once

#include <string>

#include "imap/FlagLedger.h"
#include "imap/ImapSocket.h"
#include "imap/Transcript.h"
#include "run/RunSequencer.h"
#include "run/UserToken.h"

struct CRunSequencer::Lane {
    Lane(int number, const std::string& logPath)
        : log(logPath),
          socket(log),
          stepTimer(TIMER_STEP + 2 * number),
          nextTimer(TIMER_NEXT_USER + 2 * number) {}

    // A new account: nothing of the one before carries over.
    void BeginAccount() {
        token.clear();
        ending.clear();
        ledger.Clear();
        hadFlags = recovering = recovered = throttled = waitingThrottle = false;
        inClear = connected = false;
        found = flagged = 0;
        searched = false;
    }

    CTranscript log;  // held while other sessions log too
    CImapSocket socket;
    const int stepTimer;
    const int nextTimer;
    bool active = false;  // has an account, or waits for the pause after one
    int32_t step = STEP_LOGOUT;
    int32_t userIndex = 0;
    std::string account;
    std::string password;
    std::string token;     // the access token this account signs in with
    CUserToken userToken;  // Google: the account's own token, asked for
    size_t row = 0;        // its entry in m_results
    std::string ending;    // why the account ends, while its flags are taken back
    // What the account's ended sessions left flagged, and had deleted.
    CFlagLedger ledger;
    bool hadFlags = false;    // it ends with flags to take back
    bool recovering = false;  // a session only to take back what a lost one left
    bool recovered = false;   // it had that session
    // A session given up for a recovery: what its search found and it flagged.
    size_t found = 0, flagged = 0;
    bool searched = false;
    bool throttled = false;        // the account had its one retry after throttling
    bool waitingThrottle = false;  // the step timer runs the server's suggested pause
    bool inClear = false;          // a password went out without TLS
    bool connected = false;        // a session of the account was begun
};
