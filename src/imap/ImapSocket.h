// The client end of one IMAP conversation at a time: opens the connection,
// composes the tagged commands, takes in the server's replies and raises a
// completion flag when a command has completed. It deletes exactly the
// messages its search selected: by UID when the server offers UIDPLUS, else
// by sequence number guarded against other deleted-flagged mail and against
// a server that renumbers; what it flagged and could not expunge it unflags.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "imap/ResponseReader.h"
#include "imap/SecurityMode.h"
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
    CMD_UNFLAG = 9,  // STORE -FLAGS (\Deleted) of what the account flagged
    CMD_STARTTLS = 10,
};

// How a response line stands to the command in progress.
enum class ReplyMatch { None, Completed, Failed };

class CImapSocket : public CAsyncSocket {
public:
    explicit CImapSocket(CTranscript& transcript);
    ~CImapSocket() override;

    // Clears the flags and the failure, creates the socket and starts
    // connecting. The connection counts as made (m_bConnected) once it is as
    // secure as mode asks and LOGIN may go out: TLS from the first byte, or
    // STARTTLS when the server's capabilities offer it (required for StartTls),
    // never LOGIN in the clear to a server that says LOGINDISABLED. A
    // certificate nobody trusts fails it unless its SHA-256 fingerprint is
    // trusted. False only when no socket could be created.
    bool ConnectToServer(const std::string& host, unsigned port,
                         SecurityMode mode = SecurityMode::None,
                         const std::string& trustedFingerprint = {});
    // What ConnectToServer sets of the connection's security; for a socket
    // that was attached rather than connected.
    void SetSecurity(SecurityMode mode, const std::string& host,
                     const std::string& trustedFingerprint);
    void Close() override;

    // Nonzero when the command went out (or waits for the server's "+");
    // 0 when it could not be sent.
    int SendLogin(const std::string& account, const std::string& password);
    // Signs in with an OAuth2 access token instead: AUTHENTICATE XOAUTH2, the
    // response on the command line when the server offers SASL-IR, else after
    // its "+". Completes as LOGIN does (m_bLoggedIn). Before ConnectToServer,
    // SetTokenSignIn(true) lets a server that says LOGINDISABLED take it over TLS.
    int SendAuthenticate(const std::string& account, const std::string& token);
    void SetTokenSignIn(bool token) { m_bTokenSignIn = token; }
    // The command in progress was refused as throttled: the wait the server
    // suggested, in milliseconds (at most kMaxThrottleMs); 0 otherwise.
    unsigned ThrottleMs() const { return m_nThrottleMs; }
    // Sends the throttled part of STORE, UNFLAG or UID EXPUNGE again (the sets
    // before it completed); other commands are sent again by their Send*.
    void RetrySet();
    // Asks for the capabilities unless LOGIN's answer told them.
    void SendCapability();
    void SendSelect();
    void SendSearch(const std::string& date);
    void SendStore();
    // Without UIDPLUS: checks that no other message is flagged \Deleted.
    void SendCheck();
    void SendExpunge();
    // Removes \Deleted from what this account flagged and did not expunge.
    void SendUnflag();
    void SendLogout();

    // A definitive failure of the command in progress, with a short reason.
    bool HasFailed() const { return m_bFailed; }
    const std::string& FailureReason() const { return m_strFailure; }
    // Last time bytes arrived from the server or a command went out.
    std::chrono::steady_clock::time_point LastActivity() const { return m_lastActivity; }

    // The server offers UIDPLUS: messages are named by UID.
    bool UsesUids() const { return m_bUidPlus; }
    // Distinct messages the search found, flagged so far, and the EXPUNGE
    // responses to the account's EXPUNGE.
    size_t FoundCount() const { return m_selected.size(); }
    size_t FlaggedCount() const { return m_nFlagged; }
    unsigned DeletedCount() const { return m_nDeleted; }
    // Messages flagged \Deleted by this account and neither expunged nor unflagged.
    bool HasFlagged() const { return !m_flagged.empty(); }
    // False when the server renumbered under a STORE in flight: which
    // messages that STORE flagged can't be known.
    bool FlaggedKnown() const { return !m_bFlagsUncertain; }
    // The connection failed on a certificate nobody trusts (see Peer()).
    bool UntrustedCertificate() const { return m_bUntrusted; }

    // Classifies a response line against the command whose tag and verb are given.
    static ReplyMatch MatchReply(std::string_view line, std::string_view tag,
                                 std::string_view verb);
    std::string NextTag();

    static constexpr size_t kMaxStoreLine = 8000;
    static constexpr unsigned kMaxThrottleMs = 5 * 60 * 1000;
    static constexpr uint64_t kMaxCommandBytes = 256ull << 20;

    int32_t m_bConnected = 0;
    int32_t m_bLoggedIn = 0;
    int32_t m_bSearched = 0;
    int32_t m_bStored = 0;
    int32_t m_bExpunged = 0;
    int32_t m_bSelected = 0;
    int32_t m_bCapable = 0;
    int32_t m_bChecked = 0;
    int32_t m_bUnflagged = 0;
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
    // The next step towards a connection LOGIN may use (see ConnectToServer).
    void ContinueSecure();
    void DrainSocket();
    void OnResponse(const CResponseReader::Response& r);
    void OnUntagged(std::string_view line, const CResponseReader::Response& r);
    void OnTagged(std::string_view line);
    void OnSearchDone();
    void OnExpunged(uint32_t number);
    void NoteCapabilities(std::string_view text);
    void BeginCommand(int32_t code, std::string verb);
    // Tag, verb, a space and args when there are any, CR LF.
    void SendCommandLine(std::string args = {});
    // Sends bytes; log reaches the transcript once their last byte is handed over.
    void SendRaw(std::string bytes, std::string log);
    // One tagged command per set of m_sets, in turn (STORE, UNFLAG, UID EXPUNGE).
    void SendSets(int32_t code, const std::vector<uint32_t>& numbers);
    void SendNextSet();
    int32_t& FlagOf(int32_t command);
    void Fail(std::string reason, bool closeConnection);
    void FlushOutput();

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
    uint64_t m_commandBytes = 0;
    // LOGIN parts still waiting for the server's "+" continuation.
    std::deque<std::string> m_loginParts;
    std::string m_loginLog;
    // AUTHENTICATE: the response waiting for the server's "+", and why a
    // challenge after it refused the token.
    std::string m_authResponse;
    std::string m_authRefusal;
    bool m_bTokenSignIn = false;
    unsigned m_nThrottleMs = 0;

    SecurityMode m_mode = SecurityMode::None;
    std::string m_host;
    std::string m_trusted;
    bool m_bUntrusted = false;
    bool m_bCapsKnown = false;
    bool m_bUidPlus = false;
    bool m_bStartTls = false;
    bool m_bLoginDisabled = false;
    bool m_bSaslIr = false;
    bool m_bXoauth2 = false;
    int64_t m_nExists = -1;  // -1: the server has not said
    uint32_t m_nUidNext = 0;
    // SEARCH and SEARCH DELETED: numbers gathered from untagged SEARCH responses.
    std::vector<uint32_t> m_searchNumbers;
    std::string m_searchProblem;
    // The run's set: what the search found, sorted, and the part of it flagged
    // so far (sequence numbers follow the server's EXPUNGE responses).
    std::vector<uint32_t> m_selected;
    std::vector<uint32_t> m_flagged;
    size_t m_nFlagged = 0;
    unsigned m_nDeleted = 0;
    // Without UIDPLUS, from SEARCH until the last STORE: an EXPUNGE now
    // shifts the numbers the account is about to flag.
    bool m_bNumbersAtRisk = false;
    bool m_bRenumbered = false;
    bool m_bFlagsUncertain = false;
    unsigned m_nRenumberings = 0;
    static constexpr unsigned kMaxRenumberings = 1000;
    // Sets of the multi-set command in progress, and the next one to send.
    std::vector<std::string> m_sets;
    std::vector<size_t> m_setEnds;
    size_t m_nextSet = 0;
};
