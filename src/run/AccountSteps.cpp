// One account's conversation, step by step: which step comes next, what
// a step's completion, failure or lateness means, and how an account ends
// with none of its \Deleted flags left behind where that can be helped.
#include "platform/SafeAtoi.h"
#include "run/AccessToken.h"
#include "run/RunLane.h"
#include "run/RunSequencer.h"

void CRunSequencer::StartAccount(Lane& lane) {
    const bool token = TokenSignIn(m_settings.m_auth);
    if (m_settings.m_auth == AuthMode::Google && lane.token.empty()) {
        RequestUserToken(lane);
        return;
    }
    if (m_settings.m_auth == AuthMode::OAuth2) {
        // The token checked now is the one sent: a renewal meanwhile can't empty it.
        lane.token = m_token->Valid();
        if (lane.token.empty()) {
            if (!m_strTokenFailure.empty()) {
                EndAccount(lane, "no access token: " + m_strTokenFailure);
                return;
            }
            lane.step = STEP_TOKEN;  // no timer of its own runs meanwhile
            RequestToken();
            return;
        }
    }
    lane.step = STEP_CONNECT;
    lane.connected = true;
    ShowStatus("Connected to server " + m_settings.m_strServerIP);
    lane.socket.Close();
    CSecurityPolicy policy;
    policy.mode = m_settings.m_security;
    policy.pin = m_settings.Pin();
    const CKnownServer* known = m_settings.m_known.Find(m_settings.Server());
    policy.tlsBefore = known && known->tls;
    policy.tokenSignIn = token;
    const unsigned port = static_cast<unsigned>(SafeAtoi(m_settings.m_strPort));
    if (!lane.socket.ConnectToServer(m_settings.m_strServerIP, port, policy)) {
        FailAccount(lane, lane.socket.FailureReason());
        return;
    }
    ArmTimer(lane.stepTimer);
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
        case STEP_TAKEBACK:
            return socket.m_bTakenBack;
        case STEP_SEARCH:
            return socket.m_bSearched;
        case STEP_STORE:
            return socket.m_bStored;
        case STEP_CHECK:  // the check and the EXPUNGE it sends when it passes
        case STEP_EXPUNGE:
            return socket.m_bExpunged;
        case STEP_UNFLAG:
            return socket.m_bUnflagged;
        default:
            return 0;
    }
}

int32_t CRunSequencer::NextStep(const Lane& lane) const {
    const CImapSocket& socket = lane.socket;
    switch (lane.step) {
        case STEP_LOGIN:
            return m_bPreview ? STEP_SELECT : STEP_CAPABILITY;
        case STEP_SELECT:
            // Before anything else: what a lost session of the account left.
            if (!lane.ledger.uids.empty())
                return STEP_TAKEBACK;
            return lane.recovering ? STEP_LOGOUT : STEP_SEARCH;
        case STEP_TAKEBACK:
            return lane.recovering ? STEP_LOGOUT : STEP_SEARCH;
        case STEP_SEARCH:
            return m_bPreview ? STEP_LOGOUT : STEP_STORE;
        case STEP_STORE:
            // Nothing flagged, nothing to expunge: other clients' flags stay theirs.
            if (!socket.HasFlagged())
                return STEP_LOGOUT;
            return socket.UsesUids() ? STEP_EXPUNGE : STEP_CHECK;
        case STEP_CONNECT:
        case STEP_CAPABILITY:
            return lane.step + 1;
        default:
            return STEP_LOGOUT;
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
    if (lane.socket.HasFailed())
        StepFailed(lane);
    else if (AwaitedFlag(lane) != 1)
        StepOverdue(lane);
    else
        StepDone(lane);
}

void CRunSequencer::StepDone(Lane& lane) {
    CImapSocket& socket = lane.socket;
    m_host.KillTimer(lane.stepTimer);
    if (lane.step == STEP_UNFLAG) {
        EndAccount(lane, lane.ending);
        return;
    }
    if (lane.step == STEP_CONNECT && socket.IsTls()) {
        // From now on this server gets no password in the clear.
        const CKnownServer* known = m_settings.m_known.Find(m_settings.Server());
        if (!known || !known->tls)
            RememberTls();
    }
    if (lane.step == STEP_LOGIN)
        lane.token.clear();  // signed in: a new session of the account asks anew
    if (lane.step == STEP_LOGIN && socket.SignedInInClear() && !lane.inClear) {
        lane.inClear = true;
        lane.log.Append("\nNo TLS: the password was sent in clear\n");
    }
    if (lane.step == STEP_SELECT && !lane.ledger.uids.empty() &&
        !(socket.UsesUids() && socket.UidValidity() != 0 &&
          socket.UidValidity() == lane.ledger.uidValidity)) {
        // A mailbox rebuilt since, or no UIDs to name them by: they can't be taken back.
        lane.ledger.uids.clear();
        lane.ledger.unnamed = true;
    }
    const int32_t next = NextStep(lane);
    if (m_bStopping && next != STEP_LOGOUT && next != STEP_TAKEBACK && !lane.recovering)
        FailAccount(lane, "run stopped");
    else
        RunStep(lane, next);
}

void CRunSequencer::StepFailed(Lane& lane) {
    CImapSocket& socket = lane.socket;
    if (socket.ThrottleMs() > 0 && !lane.throttled) {
        // Once an account: after the pause the server asked for, the same command again.
        lane.throttled = lane.waitingThrottle = true;
        lane.log.Append("\nThrottled: trying again in " + std::to_string(socket.ThrottleMs()) +
                        " ms\n");
        m_host.SetTimer(lane.stepTimer,
                        std::max(static_cast<int>(socket.ThrottleMs()), kShortestTimerMs));
        return;
    }
    if (lane.step == STEP_UNFLAG || lane.recovering)
        EndAccount(lane, lane.ending);
    else
        FailAccount(lane, socket.FailureReason());
}

void CRunSequencer::StepOverdue(Lane& lane) {
    CImapSocket& socket = lane.socket;
    const auto now = std::chrono::steady_clock::now();
    const bool late = now >= socket.Deadline();
    if (!late && now - socket.LastActivity() < m_silenceLimit)
        return;
    // A server that trickles or falls silent would take as long to unflag;
    // one that is only slow gets the unflag behind the command it still runs.
    const bool removing = lane.step == STEP_UNFLAG || lane.recovering;
    if (!late || removing ||
        (!socket.UsesUids() && (lane.step == STEP_CHECK || lane.step == STEP_EXPUNGE)))
        socket.Close();  // an EXPUNGE still running would renumber under the unflag
    if (removing)
        EndAccount(lane, lane.ending);
    else
        FailAccount(lane, late ? "server too slow" : "no answer from server");
}

void CRunSequencer::RetryThrottled(Lane& lane) {
    CImapSocket& socket = lane.socket;
    if (!socket.IsConnected() || lane.step == STEP_CONNECT) {
        // What the lost session deleted stays counted, and what it left
        // flagged goes to the account's next session, which takes it back
        // before it searches again.
        socket.LeaveFlags(lane.ledger);
        lane.hadFlags = lane.hadFlags || !lane.ledger.Empty();
        lane.log.Append("\nConnecting again\n");
        StartAccount(lane);
        return;
    }
    const bool sets = lane.step == STEP_STORE || lane.step == STEP_UNFLAG ||
                      lane.step == STEP_TAKEBACK ||
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
            if ((TokenSignIn(m_settings.m_auth)
                     ? socket.SendAuthenticate(lane.account, lane.token)
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
        case STEP_TAKEBACK:
            lane.log.Append("\nTaking back the deleted flags an earlier session left\n");
            socket.SendTakeback(lane.ledger);
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
            socket.SendCheckAndExpunge();
            break;
        case STEP_EXPUNGE:
            socket.SendExpunge();
            break;
        default:  // logout: the account is done
            socket.SendLogout();
            socket.Close();
            if (lane.recovering) {
                EndAccount(lane, lane.ending);
                return;
            }
            ShowStatus("Logout from exchange server.");
            // Flags a lost session left in a mailbox rebuilt since can't be
            // named: done, but not without saying so.
            FinishResult(lane, lane.ledger.Empty()
                                   ? ""
                                   : "deleted flags an earlier session left may remain");
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
        m_host.AskTrust(socket.Peer(), m_settings.Server(),
                        socket.CertificateChanged() ? m_settings.Pin() : std::string(),
                        [this, run = m_nRunId, fingerprint = socket.Peer().fingerprint](bool yes) {
                            if (run == m_nRunId)  // not a run replaced meanwhile
                                AnswerTrust(yes, fingerprint);
                        });
        return;
    }
    if (lane.recovering) {
        EndAccount(lane, lane.ending);  // its one try: the first reason stands
        return;
    }
    if (!socket.HasFlagged() && socket.FlaggedKnown() && lane.ledger.Empty()) {
        EndAccount(lane, std::move(reason));
        return;
    }
    lane.hadFlags = true;
    lane.ending = std::move(reason);
    const bool connected = socket.IsConnected();
    if (connected && socket.HasFlagged() && socket.m_bSelected == 1) {
        // What this account flagged must not wait for somebody else's EXPUNGE.
        lane.step = STEP_UNFLAG;
        socket.SendUnflag();
        ArmTimer(lane.stepTimer);
        return;
    }
    lane.searched = socket.m_bSearched == 1;
    lane.found = socket.FoundCount() + lane.ledger.deleted;
    lane.flagged = socket.FlaggedCount() + lane.ledger.deleted;
    socket.LeaveFlags(lane.ledger);
    socket.Close();
    if (!connected && !lane.ledger.uids.empty() && !lane.recovered) {
        // The connection went, maybe with a STORE's answer on its way: a
        // session of the account's own takes back what may be flagged.
        lane.recovering = lane.recovered = true;
        lane.log.Append("\nConnecting again to take back the deleted flags\n");
        StartAccount(lane);
        return;
    }
    EndAccount(lane, lane.ending);
}

bool CRunSequencer::FlagsLeft(const Lane& lane) const {
    return lane.socket.HasFlagged() || !lane.socket.FlaggedKnown() || !lane.ledger.Empty();
}

void CRunSequencer::EndAccount(Lane& lane, std::string failure) {
    CImapSocket& socket = lane.socket;
    m_host.KillTimer(lane.stepTimer);
    lane.token.clear();
    if (socket.m_bLoggedIn == 1 && socket.IsConnected())
        socket.SendLogout();
    socket.Close();
    if (lane.hadFlags)
        failure += FlagsLeft(lane) ? "; deleted flags may remain" : "; deleted flags removed";
    lane.step = STEP_LOGOUT;
    const std::string text = "Failed for user " + lane.account + ": " + failure;
    lane.log.Append("\n" + text + "\n");
    FinishResult(lane, std::move(failure));
    ShowStatus(text);
    LaneDone(lane);
}
