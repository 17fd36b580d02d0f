// The client end of one IMAP conversation at a time: opens the connection,
// composes the six tagged commands, takes in the server's replies and raises a
// completion flag when a command has completed.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "imap/MessageNumbers.h"
#include "imap/ResponseReader.h"
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
};

// How a response line stands to the command in progress.
enum class ReplyMatch { None, Completed, Failed };

class CImapSocket : public CAsyncSocket {
public:
    explicit CImapSocket(CTranscript& transcript);
    ~CImapSocket() override;

    // Clears the six flags and the failure, creates the socket and starts
    // connecting. False only when no socket could be created.
    bool ConnectToServer(const std::string& host, unsigned port);
    void Close() override;

    // Nonzero when the command went out (or waits for the server's "+");
    // 0 when it could not be sent.
    int SendLogin(const std::string& account, const std::string& password);
    void SendSelect();
    void SendSearch(const std::string& date);
    void SendStore();
    void SendExpunge();
    void SendLogout();

    // A definitive failure of the command in progress, with a short reason.
    bool HasFailed() const { return m_bFailed; }
    const std::string& FailureReason() const { return m_strFailure; }
    // Last time bytes arrived from the server or a command went out.
    std::chrono::steady_clock::time_point LastActivity() const { return m_lastActivity; }

    // Classifies a response line against the command whose tag and verb are given.
    static ReplyMatch MatchReply(std::string_view line, std::string_view tag,
                                 std::string_view verb);
    std::string NextTag();

    static constexpr size_t kMaxStoreLine = 8000;
    static constexpr uint64_t kMaxCommandBytes = 256ull << 20;

    int32_t m_bConnected = 0;
    int32_t m_bLoggedIn = 0;
    int32_t m_bSearched = 0;
    int32_t m_bStored = 0;
    int32_t m_bExpunged = 0;
    int32_t m_bSelected = 0;
    int32_t m_nCommand = CMD_CONNECT;
    std::string m_strTag;
    std::string m_strVerb;
    std::string m_strArgs;
    CMessageNumbers m_arrFound;
    long m_nTagCounter = 0;

protected:
    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

private:
    void DrainSocket();
    void OnResponse(const CResponseReader::Response& r);
    void OnTagged(std::string_view line);
    void BeginCommand(int32_t code, std::string verb);
    // Tag, verb, optionally a space and m_strArgs, CR LF: logged, then sent.
    void SendCommandLine(bool withArgs);
    void SendRaw(std::string bytes);
    void SendNextStore();
    void Fail(std::string reason, bool closeConnection);
    void FlushOutput();

    CTranscript& m_transcript;
    CResponseReader m_reader;
    std::unique_ptr<char[]> m_buffer;
    std::string m_pendingOut;
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
    // SEARCH: numbers gathered from untagged SEARCH responses.
    std::vector<uint32_t> m_searchNumbers;
    bool m_searchMalformed = false;
    // STORE: the sets still to be sent, one tagged STORE each.
    std::vector<std::string> m_storeSets;
    size_t m_storeNext = 0;
};
