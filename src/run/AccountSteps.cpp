// One account's conversation, step by step: how it starts, which step comes
// next, and what a step's completion means; AccountEnd.cpp has the rest.
#include <algorithm>
#include <utility>

#include "imap/MessageSet.h"
#include "platform/FileSystem.h"
#include "platform/SafeAtoi.h"
#include "run/AccessToken.h"
#include "run/Plan.h"
#include "run/RunLane.h"
#include "run/RunSequencer.h"

namespace {
std::string ReadWholeFile(const std::string& path) {
    std::string bytes;
    if (std::FILE* file = OpenFile(path, "rb")) {
        char buf[65536];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;)
            bytes.append(buf, n);
        std::fclose(file);
    }
    return bytes;
}
}  // namespace

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
        case STEP_LIST:
            return socket.m_bListed;
        case STEP_SELECT:
            return socket.m_bSelected;
        case STEP_TAKEBACK:
            return socket.m_bTakenBack;
        case STEP_SEARCH:
            return socket.m_bSearched;
        case STEP_FETCH:
        case STEP_COPYOUT:
            return socket.m_bFetched;
        case STEP_MOVE:
            return socket.m_bMoved;
        case STEP_PROBE:
            return socket.m_bSearched;
        case STEP_APPEND:
            return socket.m_bAppended;
        case STEP_STORE:
            return socket.m_bStored;
        case STEP_CHECK:  // the check and the EXPUNGE it sends when it passes
        case STEP_EXPUNGE:
            return socket.m_bExpunged;
        case STEP_UNFLAG:
            return socket.m_bUnflagged;
        case STEP_VERIFY:
            return socket.m_bSearched;
        default:
            return 0;
    }
}

int32_t CRunSequencer::Advance(Lane& lane) {
    CImapSocket& socket = lane.socket;
    CFolderJob* job = lane.Job();
    const bool records = m_manifest || !m_options.archive.empty();
    switch (lane.step) {
        case STEP_CONNECT:
            return STEP_LOGIN;
        case STEP_LOGIN:
            return m_bPreview && !NeedsList(lane) && !m_options.plan ? NextFolder(lane)
                                                                     : STEP_CAPABILITY;
        case STEP_CAPABILITY:
            if (m_options.plan && !socket.UsesUids()) {
                lane.failure = "server cannot delete by UID";  // a plan names UIDs only
                return STEP_LOGOUT;
            }
            return NeedsList(lane) ? STEP_LIST : NextFolder(lane);
        case STEP_LIST:
            ResolveFolders(lane);
            return NextFolder(lane);
        case STEP_SELECT:
            if (job->restore)
                return NextRestore(lane);
            if (!lane.recovering && !job->gmailTrash)  // Trash's part adds no rows
                lane.records.BeginFolder(lane.account, job->display, lane.trashDelimiter,
                                         socket.UidValidity(), m_settings.Server(),
                                         job->toTrash && job->name != lane.trash);
            // Before anything else: what a lost session of the account left.
            if (!lane.ledger.uids.empty())
                return STEP_TAKEBACK;
            return lane.recovering ? STEP_LOGOUT : STEP_SEARCH;
        case STEP_TAKEBACK:
            if (lane.recovering)
                return lane.atRisk.empty() ? STEP_LOGOUT : STEP_VERIFY;
            return STEP_SEARCH;
        case STEP_SEARCH:
            if (job->byUid && !job->gmailTrash) {
                // A plan's messages the folder no longer holds.
                const std::vector<uint32_t>& held = socket.Selection();
                for (const uint32_t uid : job->uids)
                    if (!std::binary_search(held.begin(), held.end(), uid))
                        lane.records.Gone({lane.account, job->display, job->uidValidity, uid, "", 0,
                                           "", "", "", "", "", "", "", "", m_settings.Server()});
            }
            if (socket.FoundCount() == 0) {
                if (!m_bPreview)
                    ShowStatus("No message found");
                return FolderDone(lane);
            }
            if (!records || (m_bPreview && !m_manifest) || job->gmailTrash)
                return ActionStep(lane);
            FormatMessageSets(socket.Selection(), CImapSocket::kMaxStoreLine - 64, &lane.fetchEnds);
            lane.fetchSet = 0;
            return STEP_FETCH;
        case STEP_FETCH:
        case STEP_COPYOUT: {
            const size_t setEnd = lane.fetchEnds[lane.fetchSet];
            if (lane.step == STEP_FETCH)
                lane.bodyEnd = lane.fetchSet > 0 ? lane.fetchEnds[lane.fetchSet - 1] : 0;
            if (!m_options.archive.empty() && !m_bPreview && lane.bodyEnd < setEnd) {
                // The next few messages' bodies: at most 100, or 32 MiB unless one is larger.
                const std::vector<uint32_t>& selection = socket.Selection();
                lane.bodyBegin = lane.bodyEnd;
                uint64_t bytes = 0;
                do
                    bytes += lane.records.SizeOf(selection[lane.bodyEnd++]);
                while (lane.bodyEnd < setEnd && lane.bodyEnd - lane.bodyBegin < 100 &&
                       bytes + lane.records.SizeOf(selection[lane.bodyEnd]) <= (32u << 20));
                return STEP_COPYOUT;
            }
            lane.records.SetFetched();
            if (++lane.fetchSet < lane.fetchEnds.size())
                return STEP_FETCH;
            return ActionStep(lane);
        }
        case STEP_MOVE:
            return lane.moving ? FolderDone(lane) : STEP_STORE;  // COPY: then STORE, EXPUNGE
        case STEP_PROBE:
            if (socket.FoundCount() == 0)
                return STEP_APPEND;
            ++lane.skipped;  // its Message-ID is in the folder already
            ++lane.restoreIndex;
            return NextRestore(lane);
        case STEP_APPEND:
            ++lane.restored;
            ++lane.restoreIndex;
            return NextRestore(lane);
        case STEP_STORE:
            // Nothing flagged, nothing to expunge: other clients' flags stay theirs.
            if (!socket.HasFlagged())
                return FolderDone(lane);
            return socket.UsesUids() ? STEP_EXPUNGE : STEP_CHECK;
        case STEP_CHECK:
        case STEP_EXPUNGE:
            return FolderDone(lane);
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
    if (lane.step == STEP_UNFLAG && !lane.atRisk.empty()) {
        RunStep(lane, STEP_VERIFY);
        return;
    }
    if (lane.step == STEP_VERIFY) {
        lane.remaining = socket.Selection();
        lane.verified = true;
        lane.ledger.deleted += static_cast<unsigned>(lane.atRisk.size() - lane.remaining.size());
    }
    if (lane.step == STEP_UNFLAG || lane.step == STEP_VERIFY) {
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
    const CFolderJob* job = lane.Job();
    if (lane.step == STEP_SELECT && job && job->byUid && !lane.recovering &&
        socket.UidValidity() != job->uidValidity) {
        FailAccount(lane, job->gmailTrash ? "Trash changed since the move: the mail stays there"
                                          : "mailbox was rebuilt since the plan");
        return;
    }
    if (lane.step == STEP_COPYOUT && !lane.records.Failure().empty()) {
        FailAccount(lane, lane.records.Failure());  // nothing without its copy is flagged
        return;
    }
    const int32_t next = Advance(lane);
    if (!lane.failure.empty())
        FailAccount(lane, std::exchange(lane.failure, std::string()));
    else if (m_bStopping && next != STEP_LOGOUT && next != STEP_TAKEBACK && !lane.recovering)
        FailAccount(lane, "run stopped");
    else
        RunStep(lane, next);
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
        case STEP_LIST:
            socket.SendList();
            break;
        case STEP_SELECT:
            if (lane.jobs.size() > 1 || lane.Job()->name != "INBOX")
                lane.log.Append("\nFolder " + lane.Job()->display + "\n");
            socket.SendSelect(lane.Job()->name);
            break;
        case STEP_TAKEBACK:
            lane.log.Append("\nTaking back the deleted flags an earlier session left\n");
            socket.SendTakeback(lane.ledger);
            break;
        case STEP_VERIFY:
            socket.SendSearchUids(lane.atRisk);
            break;
        case STEP_SEARCH: {
            const CFolderJob& job = *lane.Job();
            socket.SetMessageSink(&lane.records);
            if (job.gmailTrash) {
                socket.SelectUids(job.uids);  // the copies COPYUID named: no search
            } else if (job.byUid) {
                ShowStatus("Looking for the planned mails");
                socket.SendSearchUids(job.uids);
            } else {
                ShowStatus("Search mails with date before " + job.before);
                socket.SendSearch(job.before, job.spareFlagged, job.spareUnread);
            }
            break;
        }
        case STEP_FETCH:
            socket.SendFetch(lane.fetchSet > 0 ? lane.fetchEnds[lane.fetchSet - 1] : 0,
                             lane.fetchEnds[lane.fetchSet], false);
            break;
        case STEP_COPYOUT:
            socket.SendFetch(lane.bodyBegin, lane.bodyEnd, true);
            break;
        case STEP_MOVE:
            if (lane.moving)
                socket.SendMove(lane.trash);
            else
                socket.SendCopy(lane.trash);
            break;
        case STEP_PROBE:
            socket.SendSearchMessageId((*lane.Job()->restore)[lane.restoreIndex].messageId);
            break;
        case STEP_APPEND: {
            const CRestoreMessage& message = (*lane.Job()->restore)[lane.restoreIndex];
            socket.SendAppend(lane.Job()->name, message.flags, message.received,
                              ReadWholeFile(message.archive));
            break;
        }
        case STEP_STORE:
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
