// What one lane records of the messages of its account: the session's FETCH
// responses become manifest rows, each message's copy is written before it
// may be flagged, and a row reaches the manifest when its outcome is known
// (a preview at once; a deletion once the server confirmed it). Rows wait in
// a spool file meanwhile, so memory stays one FETCH set's worth whatever the
// mailbox's size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
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
    // The action of a row: from its index into the selection and the row.
    using ActionOf = std::function<std::string(size_t, const CManifestRow&)>;
    // The rest of the folder's rows, with their actions, when the folder's
    // work ends (completed or not).
    void EndFolder(const ActionOf& actionOf);
    // Gmail: the folder's mail moves to Trash to be deleted there; its rows
    // wait for that EXPUNGE (the copies keep the order of their sources).
    void HoldMoves() { m_holdMoves = true; }
    bool Holding() const { return m_holdMoves; }
    // A row of a message a plan named that the folder no longer holds.
    void Gone(CManifestRow row);

    // IMessageSink
    void Fetched(const CFetchedMessage& message) override;
    bool BodyBegin(std::string_view head, uint64_t size) override;
    void BodyData(const char* data, size_t size) override;
    void BodyEnd() override;
    void SetDone(int32_t command, size_t count) override;

private:
    // Writes the next count spooled rows with their actions.
    void Emit(size_t count, const ActionOf& actionOf);
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
    bool m_holdMoves = false;
    std::vector<CManifestRow> m_pending;  // the FETCH set in progress, in UID order
    std::FILE* m_spoolOut = nullptr;
    std::FILE* m_spoolIn = nullptr;
    size_t m_spooled = 0;                  // rows in the spool of this folder
    size_t m_emitted = 0;                  // ... written out since
    std::unique_ptr<CArchiveFile> m_copy;  // the body in progress
    std::string m_failure;
};
