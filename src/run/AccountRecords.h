// What one lane records of the messages of its account: the session's FETCH
// responses become manifest rows, each message's copy is written before it
// may be flagged, and a row reaches the manifest when its outcome is known
// (a preview at once; a deletion once the server confirmed it). Rows wait in
// a spool file meanwhile, so memory stays one FETCH set's worth whatever the
// mailbox's size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "imap/ImapSocket.h"
#include "run/Archive.h"
#include "run/Manifest.h"

class CAccountRecords : public IMessageSink {
public:
    CAccountRecords();
    ~CAccountRecords() override;

    // A run starts: rows go to manifest (nullptr: none are kept), copies to
    // archiveDir ("" none), the spool beside the manifest under spoolName.
    void BeginRun(CManifestWriter* manifest, std::string archiveDir, std::string spoolName,
                  bool preview);
    // A folder of account begins (after its SELECT): folder as UTF-8,
    // delimiter the server's, on server "host:port".
    void BeginFolder(const std::string& account, const std::string& folder, char delimiter,
                     uint32_t uidValidity, const std::string& server, bool toTrash = false);
    // What the run must know after a FETCH set: the copies on disk, or why
    // a copy failed ("" none): then nothing of the account may be flagged.
    const std::string& Failure() const { return m_failure; }
    // The sizes of the selection's messages of the FETCH set in progress, by
    // UID, for the bodies' sets.
    uint64_t SizeOf(uint32_t uid) const;
    // The messages of the last FETCH set are recorded (spooled, or written
    // as "would delete" in a preview).
    void SetFetched();
    // The rest of the folder's rows, with action actionOf(index into the
    // selection) when the folder's work ends (completed or not).
    template <typename F>
    void EndFolder(F actionOf);
    // A row of a message a plan named that the folder no longer holds.
    void Gone(CManifestRow row);

    // IMessageSink
    void Fetched(const CFetchedMessage& message) override;
    bool BodyBegin(std::string_view head, uint64_t size) override;
    void BodyData(const char* data, size_t size) override;
    void BodyEnd() override;
    void SetDone(int32_t command, size_t count) override;

private:
    // Writes the next count spooled rows with action.
    void Emit(size_t count, const std::string& action);
    bool Spool(const CManifestRow& row);
    void CloseSpool();

    CManifestWriter* m_manifest = nullptr;
    std::string m_archiveDir;
    std::string m_spoolPath;
    bool m_preview = false;
    std::string m_account, m_folder, m_server;
    char m_delimiter = 0;
    uint32_t m_uidValidity = 0;
    bool m_toTrash = false;  // expunged after a COPY to Trash: moved, not deleted
    std::vector<CManifestRow> m_pending;  // the FETCH set in progress, in UID order
    std::FILE* m_spoolOut = nullptr;
    std::FILE* m_spoolIn = nullptr;
    size_t m_spooled = 0;  // rows in the spool of this folder
    size_t m_emitted = 0;  // ... written out since
    std::unique_ptr<CArchiveFile> m_copy;  // the body in progress
    std::string m_failure;
};

template <typename F>
void CAccountRecords::EndFolder(F actionOf) {
    for (CManifestRow& row : m_pending)
        Spool(row);
    m_pending.clear();
    while (m_emitted < m_spooled) {
        const std::string action = actionOf(m_emitted);
        Emit(1, action);
    }
    CloseSpool();
}
