#include "platform/HttpsPost.h"

#include <curl/curl.h>
#ifdef _WIN32
#include "platform/SocketApi.h"
#include "platform/SocketNotifier.h"
#else
#include <sys/epoll.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>

#include <wx/evtloop.h>
#include <wx/evtloopsrc.h>
#include <wx/timer.h>

namespace {

constexpr size_t kMaxBody = 1024 * 1024;
constexpr long kConnectTimeoutMs = 15000;
constexpr long kTimeoutMs = 60000;
constexpr char kTooLarge[] = "response too large";

bool CurlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

bool IsHttps(const std::string& url) {
    static constexpr char kScheme[] = "https://";
    constexpr size_t n = sizeof kScheme - 1;
    return url.size() > n && std::equal(kScheme, kScheme + n, url.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

// curl's short text for the code, then what its error buffer adds.
std::string Describe(CURLcode code, const char* detail) {
    std::string text = curl_easy_strerror(code);
    std::string more(detail);
    while (!more.empty() && (more.back() == '\n' || more.back() == '\r'))
        more.pop_back();
    if (!more.empty() && more != text)
        text += ": " + more;
    return text;
}

#ifndef _WIN32
// What epoll saw, in curl's terms. Errors and hang-ups count as readable, as
// curl's own poll counts them: the read that follows finds out what happened.
int CurlBits(uint32_t events) {
    int bits = 0;
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP))
        bits |= CURL_CSELECT_IN;
    if (events & EPOLLOUT)
        bits |= CURL_CSELECT_OUT;
    return bits;
}
#endif

}  // namespace

// One request and everything it holds. curl's sockets go into a private epoll
// set and the loop watches only that set's descriptor. With a loop source per
// socket, curl dropping one socket (the loser of two racing connection
// attempts, all of them once the transfer ends) while the console loop still
// held a ready event for it would have the loop call a handler it had already
// freed. A stale event in the private set is only a number curl ignores.
#ifdef _WIN32
class CHttpsPost::Transfer : public wxEvtHandler {
#else
class CHttpsPost::Transfer : public wxEvtHandler, private wxEventLoopSourceHandler {
#endif
public:
    Transfer(CHttpsPost& owner, std::function<void(const CHttpsResult&)> done)
        : m_owner(owner), m_done(std::move(done)), m_timer(this) {
        Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Drive(CURL_SOCKET_TIMEOUT, 0); });
    }
    ~Transfer() override;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void Begin(const std::string& url, const std::string& body, const std::string& caFile);

private:
    // Only the set's readability is watched; whatever the loop calls, look at the set.
#ifndef _WIN32
    void OnReadWaiting() override {
        Service();
    }
    void OnWriteWaiting() override {
        Service();
    }
    void OnExceptionWaiting() override {
        Service();
    }
#endif

    static int OnSocket(CURL*, curl_socket_t s, int what, void* self, void*);
    static int OnCurlTimer(CURLM*, long timeoutMs, void* self);
    static size_t OnData(char* data, size_t size, size_t count, void* self);

    bool Setup(const std::string& url, const std::string& caFile);
    void Service();
    // Lets curl act on s; true when the transfer ended and *this is gone.
    bool Drive(curl_socket_t s, int bits);
    void Complete(CURLcode code);
    void FailLater(std::string error);
    // Destroys *this, then calls done: done may restart or delete the owner.
    void Finish(CHttpsResult result);

    CHttpsPost& m_owner;
    std::function<void(const CHttpsResult&)> m_done;
    CURLM* m_multi = nullptr;
    CURL* m_easy = nullptr;
    bool m_added = false;
    curl_slist* m_headers = nullptr;
#ifdef _WIN32
    // Winsock's notices carry the socket: one for a socket curl has closed is dropped.
    CSocketNotifier m_notifier{[this](int s, int) { ServiceSocket(s); }};
    void ServiceSocket(int s);
#endif
    int m_epoll = -1;
#ifndef _WIN32
    std::unique_ptr<wxEventLoopSource> m_source;
#endif
    wxTimer m_timer;
    std::string m_body;  // curl reads it from here while sending
    std::string m_response;
    bool m_tooLarge = false;
    char m_error[CURL_ERROR_SIZE] = {};
};

CHttpsPost::Transfer::~Transfer() {
    // Removing the handle closes its sockets through OnSocket: the set and its
    // watch go last.
    if (m_added)
        curl_multi_remove_handle(m_multi, m_easy);
    if (m_easy)
        curl_easy_cleanup(m_easy);
    if (m_multi)
        curl_multi_cleanup(m_multi);
    curl_slist_free_all(m_headers);
    m_timer.Stop();
#ifndef _WIN32
    m_source.reset();  // before the descriptor it watches is closed
#endif
#ifndef _WIN32
    if (m_epoll >= 0)
        ::close(m_epoll);
#endif
}

void CHttpsPost::Transfer::Begin(const std::string& url, const std::string& body,
                                 const std::string& caFile) {
    if (!IsHttps(url)) {
        FailLater(Describe(CURLE_UNSUPPORTED_PROTOCOL, "only https:// addresses are allowed"));
        return;
    }
    if (!CurlReady()) {
        FailLater(Describe(CURLE_FAILED_INIT, ""));
        return;
    }
    m_body = body;
#ifndef _WIN32
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll >= 0)
        m_source.reset(wxEventLoopBase::AddSourceForFD(m_epoll, this, wxEVENT_SOURCE_INPUT));
    if (!m_source) {
        FailLater(Describe(CURLE_OUT_OF_MEMORY, "cannot watch the connection"));
        return;
    }
#endif
    if (!Setup(url, caFile)) {
        FailLater(Describe(CURLE_FAILED_INIT, m_error));
        return;
    }
    // curl asks for its timer at once (OnCurlTimer): the first step runs from the loop.
    if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK) {
        FailLater(Describe(CURLE_FAILED_INIT, ""));
        return;
    }
    m_added = true;
}

bool CHttpsPost::Transfer::Setup(const std::string& url, const std::string& caFile) {
    m_multi = curl_multi_init();
    m_easy = curl_easy_init();
    if (!m_multi || !m_easy)
        return false;
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &Transfer::OnSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &Transfer::OnCurlTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);

    // Above 1 KiB curl would send "Expect: 100-continue" and wait up to a second
    // for an interim answer many servers never give.
    for (const char* h : {"Content-Type: application/x-www-form-urlencoded", "Expect:"}) {
        curl_slist* more = curl_slist_append(m_headers, h);
        if (!more)
            return false;
        m_headers = more;
    }

    CURL* e = m_easy;
    bool ok = curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_error) == CURLE_OK;
    const auto set = [&ok, e](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(e, option, value) == CURLE_OK;
    };
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "https");
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    set(CURLOPT_TIMEOUT_MS, kTimeoutMs);
    set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) {
        // That file alone: the system's certificate folder would trust more.
        set(CURLOPT_CAINFO, caFile.c_str());
        set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    } else {
#ifdef _WIN32
        // OpenSSL knows no Windows store of its own: curl brings the system's roots.
        set(CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
#endif
    }
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDS, m_body.data());
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(m_body.size()));
    set(CURLOPT_HTTPHEADER, m_headers);
    // Refuses an announced oversize body before it comes; OnData stops the rest.
    set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBody));
    set(CURLOPT_WRITEFUNCTION, &Transfer::OnData);
    set(CURLOPT_WRITEDATA, this);
    return ok;
}

int CHttpsPost::Transfer::OnSocket(CURL*, curl_socket_t s, int what, void* self, void*) {
#ifdef _WIN32
    CSocketNotifier& notifier = static_cast<Transfer*>(self)->m_notifier;
    if (what == CURL_POLL_REMOVE)
        notifier.Unwatch(static_cast<int>(s));
    else
        notifier.Watch(static_cast<int>(s), (what & CURL_POLL_OUT) != 0);
#else
    const int epoll = static_cast<Transfer*>(self)->m_epoll;
    if (what == CURL_POLL_REMOVE) {
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, s, nullptr);
        return 0;
    }
    epoll_event ev{};
    ev.events = ((what & CURL_POLL_IN) ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) ? EPOLLOUT : 0u);
    ev.data.fd = s;
    if (::epoll_ctl(epoll, EPOLL_CTL_MOD, s, &ev) != 0 && errno == ENOENT)
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, s, &ev);
#endif
    return 0;
}

int CHttpsPost::Transfer::OnCurlTimer(CURLM*, long timeoutMs, void* self) {
    wxTimer& timer = static_cast<Transfer*>(self)->m_timer;
    if (timeoutMs < 0)
        timer.Stop();
    else  // 0 means "as soon as possible", never from inside this call
        timer.StartOnce(static_cast<int>(std::clamp(timeoutMs, 1L, long{INT_MAX})));
    return 0;
}

size_t CHttpsPost::Transfer::OnData(char* data, size_t size, size_t count, void* self) {
    auto& t = *static_cast<Transfer*>(self);
    const size_t n = size * count;
    if (n > kMaxBody - t.m_response.size()) {
        t.m_tooLarge = true;
        return 0;  // curl ends the transfer
    }
    t.m_response.append(data, n);
    return n;
}

#ifdef _WIN32
void CHttpsPost::Transfer::ServiceSocket(int s) {
    pollfd p = sockapi::PollFor(s, POLLIN | POLLOUT);
    if (sockapi::Poll(&p, 1, 0) <= 0)
        return;
    int bits = 0;
    if (p.revents & (POLLIN | POLLERR | POLLHUP))
        bits |= CURL_CSELECT_IN;
    if (p.revents & POLLOUT)
        bits |= CURL_CSELECT_OUT;
    Drive(static_cast<curl_socket_t>(s), bits);
}

void CHttpsPost::Transfer::Service() {}
#else
void CHttpsPost::Transfer::Service() {
    epoll_event ready[8];
    const int n = ::epoll_wait(m_epoll, ready, 8, 0);
    for (int i = 0; i < n; ++i) {
        if (Drive(ready[i].data.fd, CurlBits(ready[i].events)))
            return;
    }
}
#endif

bool CHttpsPost::Transfer::Drive(curl_socket_t s, int bits) {
    int running = 0;
    curl_multi_socket_action(m_multi, s, bits, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_multi, &left)) {
        if (msg->msg == CURLMSG_DONE) {
            Complete(msg->data.result);
            return true;
        }
    }
    return false;
}

void CHttpsPost::Transfer::Complete(CURLcode code) {
    CHttpsResult result;
    if (m_tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        result.error = kTooLarge;
    } else if (code != CURLE_OK) {
        result.error = Describe(code, m_error);
    } else {
        curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &result.status);
        result.body = std::move(m_response);
    }
    Finish(std::move(result));
}

void CHttpsPost::Transfer::FailLater(std::string error) {
    // Destroying *this drops the call with it (Cancel, a new Start).
    CallAfter([this, error = std::move(error)] {
        CHttpsResult result;
        result.error = error;
        Finish(std::move(result));
    });
}

void CHttpsPost::Transfer::Finish(CHttpsResult result) {
    const auto done = std::move(m_done);
    m_owner.m_transfer.reset();  // *this is gone from here on
    if (done)
        done(result);
}

CHttpsPost::CHttpsPost() = default;

CHttpsPost::~CHttpsPost() = default;

void CHttpsPost::Start(const std::string& url, const std::string& body, const std::string& caFile,
                       std::function<void(const CHttpsResult&)> done) {
    m_transfer.reset();
    m_transfer = std::make_unique<Transfer>(*this, std::move(done));
    m_transfer->Begin(url, body, caFile);
}

bool CHttpsPost::Busy() const {
    return m_transfer != nullptr;
}

void CHttpsPost::Cancel() {
    m_transfer.reset();
}
