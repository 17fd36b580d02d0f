// The \Deleted flags of the session: the sets of STORE and EXPUNGE that
// follow the search exactly, the EXPUNGE responses counted against them, and
// what is taken back or left for the account's next session.
#include <algorithm>
#include <iterator>

#include "imap/ImapSocket.h"
#include "imap/LoginArgument.h"
#include "imap/MessageSet.h"

// ---------------------------------------------------------------- flags

bool CImapSocket::HasFlagged() const {
    return m_bUidPlus ? !m_flagged.empty() : m_nFlaggedUpTo > m_nGoneFlagged;
}

std::vector<uint32_t> CImapSocket::Outstanding() const {
    if (m_bUidPlus)
        return m_flagged;
    std::vector<uint32_t> numbers;
    numbers.reserve(m_nFlaggedUpTo - m_nGoneFlagged + m_uncertain.size());
    for (size_t j = 0; j < m_nFlaggedUpTo; ++j)
        if (const uint32_t now = m_tracker.Current(j))
            numbers.push_back(now);
    // A STORE the server renumbered under flagged these numbers, or the ones
    // they had before: both are taken back.
    if (!m_uncertain.empty()) {
        numbers.insert(numbers.end(), m_uncertain.begin(), m_uncertain.end());
        numbers = SortedDistinct(std::move(numbers));
    }
    return numbers;
}

void CImapSocket::SendStore() {
    m_bStored = 0;
    // Begun before anything can fail: a failure ends the step at once.
    BeginCommand(CMD_STORE, m_bUidPlus ? "UID STORE" : "STORE");
    if (m_bRenumbered) {
        Fail(kRenumbered, false);
        return;
    }
    if (m_selected.empty()) {
        m_bStored = 1;
        m_bCompleted = true;
        m_transcript.Append("\nVUOTA\n");
        return;
    }
    SendSets(CMD_STORE, m_selected);
}

void CImapSocket::UndoStoreSet() {
    const size_t begin = m_nextSet > 1 ? m_setEnds[m_nextSet - 2] : 0;
    if (m_bUidPlus)
        m_flagged.resize(begin);
    else
        m_nFlaggedUpTo = begin;
}

void CImapSocket::SendCheckAndExpunge() {
    m_bChecked = m_bExpunged = 0;
    m_searchNumbers.clear();
    m_bSearchAnswered = false;
    m_searchProblem.clear();
    BeginCommand(CMD_CHECK, "SEARCH");
    if (m_bRenumbered) {
        Fail(kRenumbered, false);
        return;
    }
    m_bExpungeAfterCheck = true;
    SendCommandLine("DELETED");
}

void CImapSocket::SendExpunge() {
    m_bExpunged = 0;
    if (m_bUidPlus) {
        BeginCommand(CMD_EXPUNGE, "UID EXPUNGE");
        SendSets(CMD_EXPUNGE, m_flagged);
        return;
    }
    BeginCommand(CMD_EXPUNGE, "EXPUNGE", m_nFlaggedUpTo);
    if (m_bRenumbered)
        Fail(kRenumbered, false);
    else
        SendCommandLine();
}

void CImapSocket::SendUnflag() {
    m_bUnflagged = 0;
    BeginCommand(CMD_UNFLAG, m_bUidPlus ? "UID STORE" : "STORE");
    if (!HasFlagged()) {
        m_bUnflagged = 1;
        m_bCompleted = true;
        return;
    }
    SendSets(CMD_UNFLAG, Outstanding());
}

void CImapSocket::SendTakeback(CFlagLedger& ledger) {
    m_bTakenBack = 0;
    BeginCommand(CMD_TAKEBACK, "UID STORE");
    m_takeback = &ledger;
    SendSets(CMD_TAKEBACK, ledger.uids);
}

void CImapSocket::RetrySet() {
    if (m_nextSet > 0)
        --m_nextSet;
    if (m_nextSet < m_sets.size())
        SendNextSet();
}

void CImapSocket::SendSets(int32_t code, const std::vector<uint32_t>& numbers) {
    // Room for the tag, the verb and the flags around the set.
    constexpr size_t kAround = 64;
    m_sets = FormatMessageSets(numbers, kMaxStoreLine - kAround, &m_setEnds);
    m_nextSet = 0;
    m_nCommand = code;
    if (m_sets.empty()) {
        FlagOf(code) = 1;
        m_bCompleted = true;
    } else {
        SendNextSet();
    }
}

void CImapSocket::SendNextSet() {
    const int32_t code = m_nCommand;
    const bool uid = m_bUidPlus || code == CMD_TAKEBACK || code == CMD_SEARCH;
    const size_t begin = m_nextSet > 0 ? m_setEnds[m_nextSet - 1] : 0;
    const size_t end = m_setEnds[m_nextSet];
    const char* const verb = code == CMD_EXPUNGE  ? "EXPUNGE"
                             : code == CMD_SEARCH ? "SEARCH"
                             : code == CMD_MOVE   ? "MOVE"
                             : code == CMD_COPY   ? "COPY"
                                                  : "STORE";
    BeginCommand(code, std::string(uid ? "UID " : "") + verb, end - begin);
    const std::string& set = m_sets[m_nextSet++];
    if (code == CMD_SEARCH) {
        m_bSearchAnswered = false;  // each set's answer must carry its result
        SendCommandLine("UID " + set);
    } else if (code == CMD_MOVE || code == CMD_COPY) {
        m_nSetExpunges = 0;
        SendCommandLine(set + " " + QuoteArgument(m_target));
    } else if (code == CMD_STORE) {
        // Sent is possibly flagged: an answer that never comes leaves it so.
        if (m_bUidPlus)
            m_flagged.assign(m_selected.begin(), m_selected.begin() + static_cast<long>(end));
        else
            m_nFlaggedUpTo = end;
        SendCommandLine(set + (uid ? " +FLAGS (\\Deleted)" : " +FLAGS \\Deleted"));
    } else if (code == CMD_EXPUNGE) {
        m_nSetExpunges = 0;
        SendCommandLine(set);
    } else {
        SendCommandLine(set + " -FLAGS (\\Deleted)");
    }
}

void CImapSocket::OnSetDone() {
    const size_t begin = m_nextSet > 1 ? m_setEnds[m_nextSet - 2] : 0;
    const size_t size = m_setEnds[m_nextSet - 1] - begin;
    const auto dropFront = [size](std::vector<uint32_t>& v) {
        v.erase(v.begin(), v.begin() + static_cast<long>(std::min(size, v.size())));
    };
    switch (m_nCommand) {
        case CMD_STORE:
            m_nFlagged = begin + size;
            break;
        case CMD_EXPUNGE:
            // The set's messages are gone (or no longer flagged): only its own
            // count, whatever other sessions expunged meanwhile.
            m_nDeleted += static_cast<unsigned>(std::min(m_nSetExpunges, size));
            dropFront(m_flagged);
            if (m_sink)
                m_sink->SetDone(CMD_EXPUNGE, size);
            break;
        case CMD_MOVE:
            m_nMoved += static_cast<unsigned>(std::min(m_nSetExpunges, size));
            if (m_sink)
                m_sink->SetDone(CMD_MOVE, size);
            break;
        case CMD_SEARCH:
            if (!m_bSearchAnswered) {
                Fail("server answered the search without a result", false);
                return;
            }
            break;
        case CMD_UNFLAG:
            if (m_bUidPlus)
                dropFront(m_flagged);
            break;
        case CMD_TAKEBACK:
            if (m_takeback)
                dropFront(m_takeback->uids);
            break;
        default:
            break;
    }
    if (m_nextSet < m_sets.size()) {
        SendNextSet();
        return;
    }
    if (m_nCommand == CMD_SEARCH) {
        OnSearchDone();
        return;
    }
    if (m_nCommand == CMD_STORE)
        m_bNumbersAtRisk = false;
    if (m_nCommand == CMD_UNFLAG && !m_bUidPlus) {
        m_nFlaggedUpTo = m_nGoneFlagged = 0;
        m_uncertain.clear();
    }
    FlagOf(m_nCommand) = 1;
    m_bCompleted = true;
}

void CImapSocket::OnExpungeDone() {
    if (m_nExcess > 0) {
        Fail("the server expunged " + std::to_string(m_nExcess) +
                 " messages more than the run flagged",
             false);
        return;
    }
    if (HasFlagged() || !FlaggedKnown()) {
        Fail("the server expunged " + std::to_string(m_nGoneFlagged) + " of the " +
                 std::to_string(m_nFlaggedUpTo) + " messages flagged",
             false);
        return;
    }
    m_bExpunged = 1;
    m_bCompleted = true;
}

void CImapSocket::OnExpunged(uint32_t number) {
    if (m_nExists > 0)
        --m_nExists;
    const bool ownExpunge = (m_nCommand == CMD_EXPUNGE || m_nCommand == CMD_MOVE) && !m_bCompleted;
    if (m_bUidPlus) {
        if (ownExpunge)
            ++m_nSetExpunges;
        return;  // UIDs stay what they are
    }
    const long j = m_tracker.Expunge(number);
    if (j >= 0 && static_cast<size_t>(j) < m_nFlaggedUpTo) {
        ++m_nDeleted;  // one of the session's own
        ++m_nGoneFlagged;
    } else if (ownExpunge) {
        ++m_nExcess;  // never flagged by the session: somebody else's mail
    }
    if (!m_bNumbersAtRisk)
        return;
    // The numbers about to be flagged no longer name what the search found.
    m_bRenumbered = true;
    if (m_nCommand == CMD_STORE && !m_bCompleted && !m_bFlagsUncertain) {
        // Did the server take the STORE before or after? As the set was sent,
        // these numbers name other messages now.
        m_bFlagsUncertain = true;
        const size_t begin = m_nextSet > 1 ? m_setEnds[m_nextSet - 2] : 0;
        m_uncertain.assign(m_selected.begin() + static_cast<long>(begin),
                           m_selected.begin() + static_cast<long>(m_setEnds[m_nextSet - 1]));
    }
    if ((m_nCommand == CMD_SEARCH || m_nCommand == CMD_STORE) && !m_bCompleted)
        Fail(kRenumbered, false);
}

void CImapSocket::LeaveFlags(CFlagLedger& ledger) {
    ledger.deleted += m_nDeleted;
    m_nDeleted = 0;
    if (!FlaggedKnown())
        ledger.unnamed = true;
    if (!HasFlagged())
        return;
    if (!m_bUidPlus || m_nUidValidity == 0) {
        ledger.unnamed = true;  // numbers of this session only
    } else {
        if (!ledger.uids.empty() && ledger.uidValidity != m_nUidValidity) {
            ledger.unnamed = true;  // the older ones belong to a mailbox rebuilt since
            ledger.uids.clear();
        }
        ledger.uidValidity = m_nUidValidity;
        std::vector<uint32_t> merged;
        std::set_union(ledger.uids.begin(), ledger.uids.end(), m_flagged.begin(), m_flagged.end(),
                       std::back_inserter(merged));
        ledger.uids.swap(merged);
    }
    m_flagged.clear();
    m_uncertain.clear();
    m_nFlaggedUpTo = m_nGoneFlagged = 0;
    m_tracker.Clear();
}
