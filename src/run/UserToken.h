// A Google Workspace user's access token for AUTHENTICATE XOAUTH2: the
// service account signs a JWT naming the user (domain-wide delegation) and
// trades it at the key's token_uri for a token of that user only (the
// JWT-bearer grant, RFC 7523). Unlike the app token of CAccessToken each
// account asks for its own, when its turn comes, and the run keeps it only
// until the account has signed in.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <string>

class CHttpsPost;
struct CHttpsResult;
struct CGoogleKey;

inline constexpr const char* kGoogleMailScope = "https://mail.google.com/";

class CUserToken {
public:
    CUserToken();
    ~CUserToken();

    // Asks for account's token, trusting caFile ("" the system's CAs) for
    // the endpoint; later, from the event loop, done("") once Take() has it,
    // or done(why not). A request in progress is dropped without its done.
    void Request(const CGoogleKey& key, const std::string& caFile, const std::string& account,
                 std::function<void(const std::string&)> done);
    void Cancel();
    // The token, handed over once.
    std::string Take();

    // The signed JWT for account issued at now (seconds since 1970), in
    // base64url without padding; "" when the key cannot sign.
    static std::string Assertion(const CGoogleKey& key, const std::string& account,
                                 std::time_t now);
    // What a reply of the endpoint gives: "" and the token, or why there is
    // none, the refusals an administrator can mend in their words. The
    // assertion is kept out of the reason.
    static std::string ReadReply(const CHttpsResult& reply, const std::string& assertion,
                                 std::string* token);

private:
    std::unique_ptr<CHttpsPost> m_post;
    std::string m_token;
};
