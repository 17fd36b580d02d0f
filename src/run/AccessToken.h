// The app's OAuth2 access token for AUTHENTICATE XOAUTH2: asked of the token
// endpoint with the client-credentials grant, and kept while it stays valid,
// so that a run asks once however many accounts it signs in to.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class CHttpsPost;
struct CHttpsResult;
struct COAuthSettings;

class CAccessToken {
public:
    CAccessToken();
    ~CAccessToken();

    // Asks for a new token; later, from the event loop, done("") once it is
    // here, or done(why not) with the endpoint's own error and description.
    // A request in progress is dropped without its done. Requests are at least
    // kMinSpacing apart: a later one waits for its turn.
    void Request(const COAuthSettings& oauth, std::function<void(const std::string&)> done);
    bool Pending() const;
    void Cancel();
    // The token while it has more than a few minutes left (else "").
    std::string Valid() const;
    // Seconds the last token was granted for.
    long Lifetime() const { return m_nLifetime; }

    // What a reply of the endpoint gives: "" and the token and its lifetime,
    // or why there is none (a token for less than kMinLifetime seconds is
    // none: it would be renewed without end). secret, as it is and as a form
    // encodes it, is kept out of the reason.
    static std::string ReadReply(const CHttpsResult& reply, const std::string& secret,
                                 std::string* token, long* lifetime,
                                 long minLifetime = kMinLifetime);

    static constexpr long kMinLifetime = 60;
    // Tests shorten it to see renewals within seconds.
    void SetMinLifetime(long seconds) { m_nMinLifetime = seconds; }
    static constexpr std::chrono::seconds kMinSpacing{2};

private:
    class Delay;
    void Send(const COAuthSettings& oauth, std::function<void(const std::string&)> done);

    std::unique_ptr<CHttpsPost> m_post;
    std::unique_ptr<Delay> m_delay;
    std::chrono::steady_clock::time_point m_lastRequest{};
    bool m_requested = false;
    std::string m_token;
    long m_nLifetime = 0;
    long m_nMinLifetime = kMinLifetime;
    std::chrono::steady_clock::time_point m_renewAt;
};
