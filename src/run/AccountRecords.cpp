#include "run/AccountRecords.h"

#include <algorithm>

#include "imap/AsciiCase.h"
#include "imap/EncodedWords.h"
#include "imap/ReplyWords.h"
#include "platform/FileSystem.h"

namespace {
// The header value, raw, kept printable: what a Message-ID or Date says.
std::string Printable(const std::string& text) {
    return DecodeHeaderValue(text.substr(0, std::min<size_t>(text.size(), 1000)));
}

// A spooled row is one line: a line break in any field (a folder's name, a
// server's flags) is written as the log writes control characters.
void FlattenField(std::string& field) {
    for (size_t at; (at = field.find_first_of("\r\n")) != std::string::npos;)
        field.replace(at, 1, field[at] == '\r' ? "\\x0D" : "\\x0A");
}

// The next line of file without its CR LF; false at its end.
bool ReadLine(std::FILE* file, std::string& line) {
    line.clear();
    for (int c; (c = std::getc(file)) != EOF;) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
        line += static_cast<char>(c);
    }
    return !line.empty();
}

// The UID a FETCH response names before its body: "* 3 FETCH (UID 7 BODY[] {n}".
uint32_t UidBefore(std::string_view head) {
    const size_t at = FindNoCase(head, "(UID ");
    const size_t other = FindNoCase(head, " UID ");
    const size_t pos = at != std::string_view::npos      ? at + 5
                       : other != std::string_view::npos ? other + 5
                                                         : 0;
    uint64_t uid = 0;
    for (size_t i = pos;
         pos && i < head.size() && head[i] >= '0' && head[i] <= '9' && uid <= UINT32_MAX; ++i)
        uid = uid * 10 + static_cast<unsigned>(head[i] - '0');
    return uid <= UINT32_MAX ? static_cast<uint32_t>(uid) : 0;
}
}  // namespace

CAccountRecords::CAccountRecords() = default;

CAccountRecords::~CAccountRecords() {
    CloseSpool();
}

void CAccountRecords::BeginRun(CManifestWriter* manifest, std::string archiveDir,
                               std::string spoolName, bool preview) {
    CloseSpool();
    m_manifest = manifest;
    m_archiveDir = std::move(archiveDir);
    m_spoolPath = manifest && manifest->IsOpen() ? manifest->Path() + "." + spoolName : "";
    m_preview = preview;
    m_failure.clear();
}

void CAccountRecords::BeginFolder(const std::string& account, const std::string& folder,
                                  char delimiter, uint32_t uidValidity, const std::string& server,
                                  bool toTrash) {
    CloseSpool();
    m_toTrash = toTrash;
    m_holdMoves = false;
    m_account = account;
    m_folder = folder;
    m_delimiter = delimiter;
    m_uidValidity = uidValidity;
    m_server = server;
    m_pending.clear();
    m_failure.clear();
    m_copy.reset();
}

uint64_t CAccountRecords::SizeOf(uint32_t uid) const {
    const auto it =
        std::lower_bound(m_pending.begin(), m_pending.end(), uid,
                         [](const CManifestRow& row, uint32_t u) { return row.uid < u; });
    return it != m_pending.end() && it->uid == uid ? it->size : 0;
}

void CAccountRecords::Fetched(const CFetchedMessage& message) {
    if (message.body) {
        // The copy of a message whose row is pending: done once its size checks.
        const auto it =
            std::find_if(m_pending.begin(), m_pending.end(),
                         [&message](const CManifestRow& row) { return row.uid == message.uid; });
        if (!m_copy || it == m_pending.end()) {
            m_copy.reset();
            return;
        }
        std::string sha256;
        const std::string why = m_copy->Finish(it->size, &sha256);
        m_copy.reset();
        if (!why.empty()) {
            if (m_failure.empty())
                m_failure = "copy failed: " + why;
            return;
        }
        it->archive =
            ArchivePath(m_archiveDir, m_account, m_folder, m_delimiter, m_uidValidity, it->uid);
        it->sha256 = std::move(sha256);
        return;
    }
    CManifestRow row;
    row.account = m_account;
    row.folder = m_folder;
    row.uidValidity = m_uidValidity;
    row.uid = message.uid;
    row.received = IsoInternalDate(message.internalDate);
    row.size = message.size;
    // \Recent belongs to the session that saw the message first, not to it.
    for (size_t at = 0, end; at < message.flags.size(); at = end + 1) {
        end = std::min(message.flags.find(' ', at), message.flags.size());
        const std::string flag = message.flags.substr(at, end - at);
        if (!flag.empty() && !EqualsNoCase(flag, "\\RECENT"))
            row.flags += (row.flags.empty() ? "" : " ") + flag;
    }
    row.server = m_server;
    const auto fields = ParseHeaderFields(message.header);
    const auto field = [&fields](const char* name) {
        const auto it = fields.find(name);
        return it == fields.end() ? std::string() : it->second;
    };
    row.messageId = Printable(field("MESSAGE-ID"));
    row.date = Printable(field("DATE"));
    row.from = DecodeHeaderValue(field("FROM"));
    row.subject = DecodeHeaderValue(field("SUBJECT"));
    // Responses come in the mailbox's order, UIDs rising; a server may differ.
    const auto at =
        std::upper_bound(m_pending.begin(), m_pending.end(), row.uid,
                         [](uint32_t u, const CManifestRow& other) { return u < other.uid; });
    m_pending.insert(at, std::move(row));
}

bool CAccountRecords::BodyBegin(std::string_view head, uint64_t) {
    m_copy.reset();
    if (m_archiveDir.empty() || !m_failure.empty())
        return false;
    // Its file is named by its UID: a body before its UID has no place, and
    // no copy means no deletion.
    const uint32_t uid = UidBefore(head);
    if (uid == 0 || SizeOf(uid) == 0) {
        m_failure = "copy failed: the server sent a message without its UID first";
        return false;
    }
    m_copy = std::make_unique<CArchiveFile>();
    const std::string why = m_copy->Begin(
        ArchivePath(m_archiveDir, m_account, m_folder, m_delimiter, m_uidValidity, uid));
    if (!why.empty()) {
        m_copy.reset();
        if (m_failure.empty())
            m_failure = "copy failed: " + why;
        return false;
    }
    return true;
}

void CAccountRecords::BodyData(const char* data, size_t size) {
    if (m_copy && !m_copy->Write(std::string_view(data, size)) && m_failure.empty())
        m_failure = "copy failed: the archive could not be written";
}

void CAccountRecords::BodyEnd() {}

void CAccountRecords::SetFetched() {
    if (m_preview) {
        for (CManifestRow& row : m_pending) {
            row.action = "would delete";
            if (m_manifest)
                m_manifest->Append(row);
        }
        if (m_manifest)
            m_manifest->Sync();
    } else {
        for (const CManifestRow& row : m_pending)
            Spool(row);
    }
    m_pending.clear();
}

void CAccountRecords::Gone(CManifestRow row) {
    row.action = "gone";
    if (m_manifest)
        m_manifest->Append(row);
}

void CAccountRecords::SetDone(int32_t command, size_t count) {
    if (command == CMD_MOVE && m_holdMoves)
        return;
    // Written as soon as the server confirmed them: a crash leaves them recorded.
    const std::string action = command == CMD_MOVE || m_toTrash ? "moved to Trash" : "deleted";
    Emit(count, [&action](size_t, const CManifestRow&) { return action; });
    if (m_manifest)
        m_manifest->Sync();
}

bool CAccountRecords::Spool(const CManifestRow& row) {
    if (m_spoolPath.empty())
        return false;
    if (!m_spoolOut) {
        std::remove(m_spoolPath.c_str());
        if (!CreateExclusive(m_spoolPath) || !(m_spoolOut = OpenForAppend(m_spoolPath)))
            return false;
        m_spoolIn = OpenFile(m_spoolPath, "rb");
        m_spooled = m_emitted = 0;
    }
    CManifestRow flat = row;
    for (std::string* field :
         {&flat.account, &flat.folder, &flat.received, &flat.messageId, &flat.date, &flat.from,
          &flat.subject, &flat.archive, &flat.flags, &flat.server})
        FlattenField(*field);
    const std::string line = FormatManifestRow(flat);
    const bool ok = std::fwrite(line.data(), 1, line.size(), m_spoolOut) == line.size();
    std::fflush(m_spoolOut);
    m_spooled += ok;
    return ok;
}

void CAccountRecords::EndFolder(const ActionOf& actionOf) {
    for (CManifestRow& row : m_pending)
        Spool(row);
    m_pending.clear();
    Emit(m_spooled - m_emitted, actionOf);
    CloseSpool();
}

void CAccountRecords::Emit(size_t count, const ActionOf& actionOf) {
    if (!m_spoolIn)
        return;
    std::clearerr(m_spoolIn);  // rows were added since its last end
    for (; count > 0 && m_emitted < m_spooled; --count, ++m_emitted) {
        std::string line;
        if (!ReadLine(m_spoolIn, line))
            return;
        ReadManifest(ManifestHeader() + line + "\r\n", [&](const CManifestRow& spooled) {
            CManifestRow row = spooled;
            row.action = actionOf(m_emitted, spooled);
            if (m_manifest)
                m_manifest->Append(row);
            return true;
        });
    }
}

void CAccountRecords::CloseSpool() {
    if (m_spoolOut)
        std::fclose(m_spoolOut);
    if (m_spoolIn)
        std::fclose(m_spoolIn);
    m_spoolOut = m_spoolIn = nullptr;
    if (!m_spoolPath.empty())
        std::remove(m_spoolPath.c_str());
    m_spooled = m_emitted = 0;
}
