// FETCH of what the records need of each selected message, and of whole
// messages for their copies: the literals kept (a header block) or streamed
// to the sink (a body), never held whole.
#include <algorithm>

#include "imap/AsciiCase.h"
#include "imap/ImapSocket.h"
#include "imap/MessageSet.h"

namespace {
constexpr const char* kInfoItems =
    "(UID FLAGS INTERNALDATE RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID DATE FROM SUBJECT)])";
constexpr const char* kBodyItems = "(UID BODY.PEEK[])";
// A header block beyond this is no header block of four fields: cut.
constexpr size_t kMaxKept = 64 * 1024;
// A body is streamed, not held: a large message may make a large response.
constexpr uint64_t kMaxBodyResponse = 4ull << 30;

bool EndsWithNoCase(std::string_view text, std::string_view upperTail) {
    return text.size() >= upperTail.size() &&
           EqualsNoCase(text.substr(text.size() - upperTail.size()), upperTail);
}
}  // namespace

void CImapSocket::SendFetch(size_t begin, size_t end, bool bodies) {
    m_bFetched = 0;
    m_fetchProblem.clear();
    m_literalKept.clear();
    end = std::min(end, m_selected.size());
    begin = std::min(begin, end);
    BeginCommand(CMD_FETCH, m_bUidPlus ? "UID FETCH" : "FETCH", end - begin);
    m_bBodies = bodies;
    m_reader.SetMaxResponse(bodies ? kMaxBodyResponse : CResponseReader::kDefaultMaxResponse);
    if (begin == end) {
        m_bFetched = 1;
        m_bCompleted = true;
        return;
    }
    // Before any STORE the numbers are as the search gave them.
    const std::vector<uint32_t> numbers(m_selected.begin() + static_cast<long>(begin),
                                        m_selected.begin() + static_cast<long>(end));
    const std::vector<std::string> sets = FormatMessageSets(numbers, SIZE_MAX);
    SendCommandLine(sets.front() + " " + (bodies ? kBodyItems : kInfoItems));
}

void CImapSocket::OnFetched(std::string_view line) {
    CFetchedMessage message;
    if (!ParseFetchResponse(line, message)) {
        if (m_fetchProblem.empty())
            m_fetchProblem = "malformed FETCH response";
        m_literalKept.clear();
        return;
    }
    if (message.header.empty())
        message.header = std::move(m_literalKept);
    m_literalKept.clear();
    // One of the session's own (it has its UID and what was asked for), not
    // a flag change another client made meanwhile.
    const bool ours = message.uid != 0 && (m_bBodies ? message.body : message.sizeGiven);
    if (ours && m_sink)
        m_sink->Fetched(message);
}

bool CImapSocket::BeginLiteral(std::string_view head, uint64_t size) {
    m_literalUse = LiteralUse::None;
    const std::string_view before = head.substr(0, head.rfind('{'));
    if (m_nCommand == CMD_LIST && StartsWithNoCase(head, "* LIST ")) {
        m_literalUse = LiteralUse::Keep;  // a folder's name
    } else if (m_nCommand != CMD_FETCH || m_bCompleted || !StartsWithNoCase(head, "* ")) {
        return false;
    } else if (m_bBodies && EndsWithNoCase(before, "BODY[] ")) {
        if (!m_sink || !m_sink->BodyBegin(head, size))
            return false;
        m_literalUse = LiteralUse::Body;
    } else if (!m_bBodies && EndsWithNoCase(before, ")] ")) {
        m_literalUse = LiteralUse::Keep;  // BODY[HEADER.FIELDS (...)]
    } else {
        return false;
    }
    m_literalKept.clear();
    return true;
}

void CImapSocket::LiteralData(const char* data, size_t size) {
    if (m_literalUse == LiteralUse::Body)
        m_sink->BodyData(data, size);
    else if (m_literalUse == LiteralUse::Keep && m_literalKept.size() < kMaxKept)
        m_literalKept.append(data, std::min(size, kMaxKept - m_literalKept.size()));
}

void CImapSocket::EndLiteral() {
    if (std::exchange(m_literalUse, LiteralUse::None) == LiteralUse::Body && m_sink)
        m_sink->BodyEnd();
}
