// One session of the run and the account it is working on; shared by the
// run's two halves (RunSequencer.cpp: the run, AccountSteps.cpp: an account).
#pragma once

#include <string>

#include "imap/FlagLedger.h"
#include "imap/ImapSocket.h"
#include "imap/Transcript.h"
#include "run/AccountRecords.h"
#include "run/FolderJob.h"
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
        jobs.clear();
        job = 0;
        listed = false;
        trash.clear();
        trashDelimiter = 0;
        foundTotal = flaggedTotal = 0;
        deletedTotal = moved = 0;
        cleaned.clear();
        notes.clear();
        failure.clear();
        restoreIndex = 0;
        restored = skipped = notRestored = 0;
        atRisk.clear();
        remaining.clear();
        verified = false;
    }

    CFolderJob* Job() { return job < jobs.size() ? &jobs[job] : nullptr; }

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

    // The account's folders, the one in progress, and where it stands in it:
    // the FETCH sets of its selection (their ends), the set in progress and
    // its bodies' part in progress [bodyBegin, bodyEnd).
    std::vector<CFolderJob> jobs;
    size_t job = 0;
    bool listed = false;
    std::string trash;  // the Trash folder as IMAP names it, once listed
    char trashDelimiter = 0;
    std::vector<size_t> fetchEnds;
    size_t fetchSet = 0;
    size_t bodyBegin = 0, bodyEnd = 0;
    bool moving = false;  // STEP_MOVE is a MOVE, else a COPY before STORE
    // What ended folders found and flagged, the messages moved to Trash, the
    // folders cleaned ("INBOX 12") and what was noted ("no folder \Junk").
    size_t foundTotal = 0, flaggedTotal = 0;
    unsigned deletedTotal = 0, moved = 0;
    std::string cleaned;
    std::string notes;
    std::string failure;  // what Advance found that ends the account
    CAccountRecords records;
    // The folder's messages flagged \Deleted when the account failed: an
    // EXPUNGE (ours or another client's) may have taken any of them, so the
    // manifest records them after asking which remain (by UID).
    std::vector<uint32_t> atRisk;
    std::vector<uint32_t> remaining;
    bool verified = false;
    // Restoring: the message in progress of the folder, and the counts.
    size_t restoreIndex = 0;
    unsigned restored = 0, skipped = 0, notRestored = 0;
    bool connected = false;  // a session of the account was begun
};
