// An HTTPS POST that never blocks: libcurl runs it from the wxWidgets event
// loop (console loop in the command-line program, GTK loop in the window), so
// asking a token server for an OAuth2 token leaves the program responsive.
#pragma once

#include <functional>
#include <memory>
#include <string>

struct CHttpsResult {
    long status = 0;    // the HTTP status; 0 when no response came
    std::string body;   // the response body, at most 1 MiB
    std::string error;  // why no response came (TLS, certificate, connect, time-out,
                        // too large); "" when one came
};

class CHttpsPost {
public:
    CHttpsPost();
    // Cancels a request in flight; done is never called after that.
    ~CHttpsPost();
    CHttpsPost(const CHttpsPost&) = delete;
    CHttpsPost& operator=(const CHttpsPost&) = delete;

    // Starts a POST of body (Content-Type application/x-www-form-urlencoded)
    // to url. https:// only: any other scheme completes with an error. The
    // server's certificate and host name are always checked, against caFile
    // (a PEM file) when not empty, else the system's trusted CAs. done is
    // called exactly once, later, from the event loop (never from inside
    // Start); it may delete or restart this object. A request still in flight
    // is cancelled first, without its done.
    void Start(const std::string& url, const std::string& body, const std::string& caFile,
               std::function<void(const CHttpsResult&)> done);
    bool Busy() const;
    // Drops the request in flight, if any; its done is never called.
    void Cancel();

private:
    class Transfer;
    std::unique_ptr<Transfer> m_transfer;  // null when idle
};
