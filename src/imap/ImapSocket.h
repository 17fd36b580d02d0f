// The client end of one IMAP conversation at a time: opens the connection,
// composes the tagged commands, takes in the server's replies and raises a
// completion flag when a command has completed. It deletes exactly the
// messages its search selected: by UID when the server offers UIDPLUS, else
// by sequence number guarded against other deleted-flagged mail and followed
// through every EXPUNGE; what it flagged and could not expunge it unflags,
// and what it could not unflag it hands to the run (LeaveFlags) for the
// account's next session.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "imap/FetchResponse.h"
#include "imap/FlagLedger.h"
#include "imap/ResponseReader.h"
#include "imap/SecurityMode.h"
#include "imap/SequenceTracker.h"
#include "imap/Transcript.h"
#include "platform/AsyncSocket.h"

enum : int32_t {
    CMD_CONNECT = 0,
    CMD_LOGIN = 1,
    CMD_LOGOUT = 2,
    CMD_SELECT = 3,
    CMD_SEARCH = 4,
    CMD_STORE = 5,
    CMD_EXPUNGE = 6,
    CMD_CAPABILITY = 7,
    CMD_CHECK = 8,   // SEARCH DELETED before a plain EXPUNGE
    CMD_UNFLAG = 9,  // STORE -FLAGS (\Deleted) of what the session flagged
    CMD_STARTTLS = 10,
    CMD_TAKEBACK = 11,  // UID STORE -FLAGS (\Deleted) of what an earlier session left
    CMD_LIST = 12,
    CMD_FETCH = 13,
    CMD_MOVE = 14,  // UID MOVE to the Trash folder
    CMD_COPY = 15,  // UID COPY to the Trash folder (a server without MOVE)
    CMD_APPEND = 16,
};

// A folder as LIST names it.
struct CListedFolder {
    std::string name;        // as the server sent it (modified UTF-7)
    std::string attributes;  // "\HasNoChildren \Trash", as listed
    char delimiter = 0;      // the hierarchy's, 0 for none (NIL)
};

// Where what the session fetches goes, and word of the selection's messages
// as sets of them complete: the run records them (and copies bodies).
class IMessageSink {
public:
    virtual ~IMessageSink() = default;
    // A FETCH response of the session's own FETCH.
    virtual void Fetched(const CFetchedMessage& message) = 0;
    // A BODY[] of size bytes begins in the response whose first bytes are
    // head (its UID among them, as servers send it); false: it is passed over.
    virtual bool BodyBegin(std::string_view head, uint64_t size) = 0;
    virtual void BodyData(const char* data, size_t size) = 0;
    virtual void BodyEnd() = 0;
    // The next count messages of the selection, in order, were expunged (a
    // UID EXPUNGE set), or moved (a UID MOVE set), by the server's word.
    virtual void SetDone(int32_t command, size_t count) = 0;
};

// How a response line stands to the command in progress.
enum class ReplyMatch { None, Completed, Failed };

// How a connection to one server is secured, from the settings and what is
// known of the server.
struct CSecurityPolicy {
    SecurityMode mode = SecurityMode::None;
    std::string pin;           // SHA-256 fingerprint trusted for this server; "" none
    bool tlsBefore = false;    // the server has completed TLS with this program before
    bool tokenSignIn = false;  // a token never goes out without TLS
};

class CImapSocket : public CAsyncSocket, private ILiteralSink {
public:
    explicit CImapSocket(CTranscript& transcript);
    ~CImapSocket() override;

    // Clears the flags and the failure, creates the socket and starts
    // connecting. The connection counts as made (m_bConnected) once it is as
    // secure as the policy asks and a sign-in may go out: TLS from the first
    // byte, or STARTTLS when the server's capabilities offer it (required for
    // StartTls, and in Auto for a server that completed TLS before, and for a
    // token); never LOGIN in the clear to a server that says LOGINDISABLED,
    // never a PREAUTH session unless the mode is None. A certificate nobody
    // trusts fails it unless it is the one pinned. False only when no socket
    // could be created.
    bool ConnectToServer(const std::string& host, unsigned port, const CSecurityPolicy& policy);
    // What ConnectToServer sets of the connection's security; for a socket
    // that was attached rather than connected.
    void SetSecurity(const CSecurityPolicy& policy, const std::string& host);
    void Close() override;

    // Nonzero when the command went out (or waits for the server's "+");
    // 0 when it could not be sent.
    int SendLogin(const std::string& account, const std::string& password);
    // Signs in with an OAuth2 access token instead: AUTHENTICATE XOAUTH2, the
    // response on the command line when the server offers SASL-IR, else after
    // its "+". Completes as LOGIN does (m_bLoggedIn). Only over TLS.
    int SendAuthenticate(const std::string& account, const std::string& token);
    // The command in progress was refused as throttled: the wait the server
    // suggested, in milliseconds (at most kMaxThrottleMs); 0 otherwise.
    unsigned ThrottleMs() const { return m_nThrottleMs; }
    // Sends the throttled part of STORE, UNFLAG, TAKEBACK or UID EXPUNGE again
    // (the sets before it completed); other commands are sent again by their Send*.
    void RetrySet();
    // Asks for the capabilities unless LOGIN's answer told them.
    void SendCapability();
    // The folders, with their special uses where the server offers SPECIAL-USE.
    void SendList();
    const std::vector<CListedFolder>& Folders() const { return m_folders; }
    // folder as IMAP names it (modified UTF-7).
    void SendSelect(const std::string& folder = "INBOX");
    // The messages received before date (dd-Mon-yyyy), with spareFlagged not
    // those flagged \Flagged, with spareUnread only those \Seen. The answer
    // must carry a result: SEARCH, or ESEARCH naming the command's tag.
    void SendSearch(const std::string& date, bool spareFlagged = false, bool spareUnread = false);
    // Which of uids the folder holds (UID SEARCH UID, in sets): they become
    // the selection, as a search's result does.
    void SendSearchUids(const std::vector<uint32_t>& uids);
    // The selection: what the search found, sorted (UIDs with UIDPLUS).
    const std::vector<uint32_t>& Selection() const { return m_selected; }
    // FETCH of the selection's messages [begin, end) (UID, FLAGS, INTERNALDATE,
    // RFC822.SIZE, the header fields a record needs; with bodies BODY.PEEK[]
    // too), each to the sink (m_bFetched).
    void SendFetch(size_t begin, size_t end, bool bodies);
    void SetMessageSink(IMessageSink* sink) { m_sink = sink; }
    // The selection to target (Trash), moved (UID MOVE) or copied (UID COPY)
    // in sets (m_bMoved); what the server said the copies are is CopiedUids.
    void SendMove(const std::string& target);
    void SendCopy(const std::string& target);
    const std::vector<uint32_t>& CopiedUids() const { return m_copied; }
    uint32_t CopiedValidity() const { return m_copiedValidity; }
    // Makes uids the selection (the copies a move made, to be deleted there).
    void SelectUids(std::vector<uint32_t> uids);
    // Selection index j is gone: expunged, as the session followed it.
    bool SelectionGone(size_t j) const;
    // Puts a message back into folder (IMAP's name) with its flags and
    // INTERNALDATE (as IMAP writes them), bytes its whole text: APPEND with a
    // literal, sent after the server's "+" (m_bAppended).
    void SendAppend(const std::string& folder, const std::string& flags, const std::string& date,
                    std::string bytes);
    // Whether folder holds a message with this Message-ID: a search whose
    // result becomes the selection (empty: none does).
    void SendSearchMessageId(const std::string& messageId);
    void SendStore();
    // Without UIDPLUS: checks that no other message is flagged \Deleted
    // (m_bChecked) and, when none is, sends EXPUNGE at once, so that none can
    // be flagged in between by a pause (m_bExpunged completes both).
    void SendCheckAndExpunge();
    // With UIDPLUS: UID EXPUNGE of what the session flagged.
    void SendExpunge();
    // Removes \Deleted from what this session flagged and did not expunge.
    void SendUnflag();
    // Removes \Deleted from what an earlier session of the account left
    // (ledger.uids, same UIDVALIDITY, UIDPLUS); on completion the ledger's
    // UIDs are cleared.
    void SendTakeback(CFlagLedger& ledger);
    void SendLogout();

    // A definitive failure of the command in progress, with a short reason.
    bool HasFailed() const { return m_bFailed; }
    const std::string& FailureReason() const { return m_strFailure; }
    // Last time bytes arrived from the server or a command went out.
    std::chrono::steady_clock::time_point LastActivity() const { return m_lastActivity; }
    // When the command in progress must have completed, however the server
    // trickles: the base (kDefaultDeadline unless set) and kDeadlinePerMessage
    // for each message it names.
    std::chrono::steady_clock::time_point Deadline() const { return m_deadline; }
    void SetDeadlineBase(std::chrono::steady_clock::duration base) { m_deadlineBase = base; }

    // The server offers UIDPLUS: messages are named by UID.
    bool UsesUids() const { return m_bUidPlus; }
    bool OffersMove() const { return m_bMove; }
    bool OffersSpecialUse() const { return m_bSpecialUse; }
    // Gmail (X-GM-EXT-1): labels shown as folders, deletion only through Trash.
    bool IsGmail() const { return m_bGmail; }
    uint32_t UidValidity() const { return m_nUidValidity; }
    // The session signed in without TLS (a password in the clear).
    bool SignedInInClear() const { return m_bSignedInClear; }
    // Distinct messages the search found, flagged so far (STORE answered OK),
    // and the session's own messages expunged.
    size_t FoundCount() const { return m_selected.size(); }
    size_t FlaggedCount() const { return m_nFlagged; }
    unsigned DeletedCount() const { return m_nDeleted; }
    unsigned MovedCount() const { return m_nMoved; }
    // Messages this session may have flagged \Deleted (stored, or sent in a
    // STORE not yet answered) and neither expunged nor unflagged.
    bool HasFlagged() const;
    // The numbers this session may have flagged and not seen expunged, as the
    // server numbers them now (UIDs with UIDPLUS).
    std::vector<uint32_t> Outstanding() const;
    // False when which messages this session flagged can't be known (the
    // server renumbered under a STORE in flight, or expunged past counting).
    bool FlaggedKnown() const { return !m_bFlagsUncertain && !m_tracker.Lost(); }
    // Hands what this session may have left flagged to the account's ledger
    // and forgets it: called when the session ends before it could unflag.
    void LeaveFlags(CFlagLedger& ledger);
    // The connection failed on a certificate nobody trusts (see Peer()), and
    // whether a pin for the server existed that it does not match.
    bool UntrustedCertificate() const { return m_bUntrusted; }
    bool CertificateChanged() const { return m_bChanged; }

    // Classifies a response line against the command whose tag and verb are given.
    static ReplyMatch MatchReply(std::string_view line, std::string_view tag,
                                 std::string_view verb);
    std::string NextTag();

    static constexpr size_t kMaxStoreLine = 8000;
    static constexpr unsigned kMaxThrottleMs = 5 * 60 * 1000;
    static constexpr uint64_t kMaxCommandBytes = 256ull << 20;
    static constexpr std::chrono::minutes kDefaultDeadline{5};
    static constexpr std::chrono::milliseconds kDeadlinePerMessage{3};

    int32_t m_bConnected = 0;
    int32_t m_bLoggedIn = 0;
    int32_t m_bSearched = 0;
    int32_t m_bStored = 0;
    int32_t m_bExpunged = 0;
    int32_t m_bSelected = 0;
    int32_t m_bCapable = 0;
    int32_t m_bChecked = 0;
    int32_t m_bUnflagged = 0;
    int32_t m_bTakenBack = 0;
    int32_t m_bListed = 0;
    int32_t m_bFetched = 0;
    int32_t m_bMoved = 0;
    int32_t m_bAppended = 0;
    int32_t m_nCommand = CMD_CONNECT;
    std::string m_strTag;
    std::string m_strVerb;
    std::string m_strArgs;
    long m_nTagCounter = 0;

protected:
    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnTlsReady(bool ok) override;

private:
    static constexpr const char* kTlsGone =
        "server offered TLS before and does not now: the password was not sent";
    static constexpr const char* kRenumbered = "server renumbered the mailbox";

    // The next step towards a connection a sign-in may use (see ConnectToServer).
    void ContinueSecure();
    void StartTlsAtBoundary();
    void DrainSocket();
    void OnResponse(const CResponseReader::Response& r);
    void OnUntagged(std::string_view line, const CResponseReader::Response& r);
    void OnSearchResponse(const CResponseReader::Response& r);
    void OnTagged(std::string_view line);
    void OnSearchDone();
    void OnListed(std::string_view line);
    void OnFetched(std::string_view line);
    void NoteCopyUid(std::string_view text);
    void OnSetDone();
    void OnExpungeDone();
    void OnExpunged(uint32_t number);
    // The STORE set just answered was not applied.
    void UndoStoreSet();
    void NoteCapabilities(std::string_view text);
    // A new command: its flags, failure and deadline reset; no tag taken yet,
    // so that a command that fails before it is sent costs none.
    void BeginCommand(int32_t code, std::string verb, size_t messages = 0);
    void TakeTag() { m_strTag = NextTag(); }
    bool LoggingHeadsOnly() const { return m_bBodies && m_nCommand == CMD_FETCH; }
    // Takes a tag and sends tag, verb, a space and args when there are any, CR LF.
    void SendCommandLine(std::string args = {});
    // Sends bytes; log reaches the transcript once their last byte is handed over.
    void SendRaw(std::string bytes, std::string log);
    // One tagged command per set of numbers, in turn (STORE, UNFLAG, TAKEBACK,
    // UID EXPUNGE).
    void SendSets(int32_t code, const std::vector<uint32_t>& numbers);
    void SendNextSet();
    // A SEARCH (UID SEARCH with UIDPLUS) begins: nothing of the last one's answer left.
    void BeginSearch();
    // MOVE or COPY of the selection to target, in sets.
    void SendTransfer(int32_t code, const char* verb, const std::string& target);
    int32_t& FlagOf(int32_t command);
    void Fail(std::string reason, bool closeConnection);
    void FlushOutput();
    // ILiteralSink: a literal that the session keeps (a header block, a
    // folder's name) or hands to the sink (a body).
    bool BeginLiteral(std::string_view headSoFar, uint64_t size) override;
    void LiteralData(const char* data, size_t size) override;
    void EndLiteral() override;

    CTranscript& m_transcript;
    CResponseReader m_reader;
    std::unique_ptr<char[]> m_buffer;
    std::string m_pendingOut;
    std::string m_pendingLog;
    bool m_bFailed = false;
    // The command in progress has completed (its flag is up).
    bool m_bCompleted = false;
    // Why the connection went away after a command completed.
    std::string m_strLost;
    std::string m_strFailure;
    std::chrono::steady_clock::time_point m_lastActivity;
    std::chrono::steady_clock::time_point m_deadline;
    std::chrono::steady_clock::duration m_deadlineBase = kDefaultDeadline;
    uint64_t m_commandBytes = 0;
    // LOGIN parts still waiting for the server's "+" continuation.
    std::deque<std::string> m_loginParts;
    std::string m_loginLog;
    // AUTHENTICATE: the response waiting for the server's "+", and why a
    // challenge after it refused the token.
    std::string m_authResponse;
    std::string m_authRefusal;
    unsigned m_nThrottleMs = 0;

    CSecurityPolicy m_policy;
    std::string m_host;
    bool m_bUntrusted = false;
    bool m_bChanged = false;
    // STARTTLS was answered OK in the bytes being read: nothing may follow it
    // in the clear.
    bool m_bTlsBoundary = false;
    bool m_bSignedInClear = false;
    bool m_bCapsKnown = false;
    bool m_bUidPlus = false;
    bool m_bStartTls = false;
    bool m_bLoginDisabled = false;
    bool m_bSaslIr = false;
    bool m_bXoauth2 = false;
    bool m_bMove = false;
    bool m_bSpecialUse = false;
    bool m_bGmail = false;
    int64_t m_nExists = -1;  // -1: the server has not said
    uint32_t m_nUidNext = 0;
    uint32_t m_nUidValidity = 0;
    // SEARCH and SEARCH DELETED: numbers gathered from the result responses,
    // whether one came, and what was wrong with them.
    std::vector<uint32_t> m_searchNumbers;
    bool m_bSearchAnswered = false;
    std::string m_searchProblem;
    // The run's set: what the search found, sorted. What of it may be flagged
    // (sent in a STORE, not refused, not yet expunged or unflagged): with
    // UIDPLUS the UIDs in m_flagged; without it the first m_nFlaggedUpTo found
    // messages, less the m_nGoneFlagged of them the tracker saw expunged.
    std::vector<uint32_t> m_selected;
    std::vector<uint32_t> m_flagged;
    size_t m_nFlaggedUpTo = 0;
    size_t m_nGoneFlagged = 0;
    size_t m_nFlagged = 0;
    unsigned m_nDeleted = 0;
    // Without UIDPLUS: the found messages followed through EXPUNGE responses,
    // and the messages a plain EXPUNGE removed that the session never flagged.
    CSequenceTracker m_tracker;
    unsigned m_nExcess = 0;
    // A STORE set the server renumbered under: its numbers as sent.
    std::vector<uint32_t> m_uncertain;
    // With UIDPLUS: EXPUNGE responses to the UID EXPUNGE set in progress.
    size_t m_nSetExpunges = 0;
    // Without UIDPLUS, from SEARCH until the last STORE: an EXPUNGE now
    // shifts the numbers the account is about to flag.
    bool m_bNumbersAtRisk = false;
    bool m_bRenumbered = false;
    bool m_bFlagsUncertain = false;
    // The check passed: EXPUNGE follows at once.
    bool m_bExpungeAfterCheck = false;
    // Sets of the multi-set command in progress, where each ends in the
    // numbers it came from, and the next one to send.
    std::vector<std::string> m_sets;
    std::vector<size_t> m_setEnds;
    size_t m_nextSet = 0;
    CFlagLedger* m_takeback = nullptr;
    // LIST's folders; FETCH's sink and the literal in progress (kept, or
    // the body's); a FETCH response the session could not read; COPYUID's.
    std::vector<CListedFolder> m_folders;
    IMessageSink* m_sink = nullptr;
    enum class LiteralUse { None, Keep, Body } m_literalUse = LiteralUse::None;
    std::string m_literalKept;
    std::string m_fetchProblem;
    std::vector<uint32_t> m_copied;
    uint32_t m_copiedValidity = 0;
    std::string m_target;               // MOVE's and COPY's folder
    bool m_bBodies = false;             // the FETCH in progress asks for whole messages
    bool m_bSearchSets = false;         // the SEARCH in progress is one of UID sets
    std::vector<uint32_t> m_requested;  // ... of these UIDs
    unsigned m_nMoved = 0;
};
