// How an account's steps end otherwise than done: a command refused, a
// server too slow or silent, a throttle; and how the account then ends, with
// none of its \Deleted flags left behind where that can be helped and its
// manifest rows saying what became of each message.
#include <algorithm>
#include <iterator>
#include <utility>

#include "run/Plan.h"
#include "run/RunLane.h"
#include "run/RunSequencer.h"

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
    if (lane.step == STEP_UNFLAG || lane.step == STEP_VERIFY || lane.recovering) {
        EndAccount(lane, lane.ending);
    } else if ((lane.step == STEP_PROBE || lane.step == STEP_APPEND) && socket.IsConnected() &&
               !m_bStopping) {
        // One message not put back is no reason to leave the others.
        m_host.KillTimer(lane.stepTimer);
        ++lane.notRestored;
        ++lane.restoreIndex;
        RunStep(lane, NextRestore(lane));
    } else if (lane.step == STEP_SELECT && lane.Job() && lane.Job()->restore &&
               socket.IsConnected() && !m_bStopping) {
        m_host.KillTimer(lane.stepTimer);
        lane.notRestored += static_cast<unsigned>(lane.Job()->restore->size());
        lane.notes += (lane.notes.empty() ? "no folder " : ", no folder ") + lane.Job()->display;
        ++lane.job;
        RunStep(lane, NextFolder(lane));
    } else if (lane.step == STEP_SELECT && lane.jobs.size() > 1 && socket.IsConnected() &&
               !m_bStopping) {
        // A folder the account does not have: noted, and its other folders cleaned.
        m_host.KillTimer(lane.stepTimer);
        lane.notes += (lane.notes.empty() ? "no folder " : ", no folder ") + lane.Job()->display;
        ++lane.job;
        RunStep(lane, NextFolder(lane));
    } else {
        FailAccount(lane, socket.FailureReason());
    }
}

void CRunSequencer::StepOverdue(Lane& lane) {
    CImapSocket& socket = lane.socket;
    const auto now = std::chrono::steady_clock::now();
    const bool late = now >= socket.Deadline();
    if (!late && now - socket.LastActivity() < m_silenceLimit)
        return;
    // A server that trickles or falls silent would take as long to unflag;
    // one that is only slow gets the unflag behind the command it still runs.
    const bool removing = lane.step == STEP_UNFLAG || lane.step == STEP_VERIFY || lane.recovering;
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
    if (m_manifest && socket.UsesUids() && lane.Job() && !lane.Job()->gmailTrash) {
        // The manifest must say which of them went: asked once they are unflagged.
        lane.atRisk = socket.HasFlagged() ? socket.Outstanding() : std::vector<uint32_t>();
        std::vector<uint32_t> all;
        std::set_union(lane.atRisk.begin(), lane.atRisk.end(), lane.ledger.uids.begin(),
                       lane.ledger.uids.end(), std::back_inserter(all));
        lane.atRisk.swap(all);
    }
    if (connected && socket.HasFlagged() && socket.m_bSelected == 1) {
        // What this account flagged must not wait for somebody else's EXPUNGE.
        lane.step = STEP_UNFLAG;
        socket.SendUnflag();
        ArmTimer(lane.stepTimer);
        return;
    }
    lane.searched = socket.m_bSearched == 1 || lane.job > 0;
    lane.found = lane.foundTotal + socket.FoundCount() + lane.ledger.deleted;
    lane.flagged = lane.flaggedTotal + socket.FlaggedCount() + lane.ledger.deleted;
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
    // What the manifest holds of the folder in progress: deleted, or kept and why.
    lane.records.EndFolder([&](size_t j, const CManifestRow& row) {
        if (lane.records.Holding())
            return "moved to Trash, not deleted: " + failure;
        if (std::binary_search(lane.atRisk.begin(), lane.atRisk.end(), row.uid)) {
            if (!lane.verified)
                return "unknown: " + failure;
            if (!std::binary_search(lane.remaining.begin(), lane.remaining.end(), row.uid))
                return std::string("deleted");
        }
        return socket.SelectionGone(j) ? std::string("deleted") : "kept: " + failure;
    });
    lane.step = STEP_LOGOUT;
    const std::string text = "Failed for user " + lane.account + ": " + failure;
    lane.log.Append("\n" + text + "\n");
    FinishResult(lane, std::move(failure));
    ShowStatus(text);
    LaneDone(lane);
}
