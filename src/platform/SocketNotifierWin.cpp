#include "platform/SocketNotifier.h"

#include "platform/SocketApi.h"  // winsock2.h, which must come before windows.h

#include <map>

namespace {
constexpr UINT kSocketMessage = WM_APP + 0x51;

std::map<int, CSocketNotifier*>& Watched() {
    static std::map<int, CSocketNotifier*> watched;
    return watched;
}

LRESULT CALLBACK SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kSocketMessage)
        return ::DefWindowProcW(window, message, wParam, lParam);
    // A notice for a socket closed since (or never watched) is dropped.
    const int socket = static_cast<int>(wParam);
    // A failed connect is told only here: Winsock need not set SO_ERROR for it.
    const int error = WSAGETSELECTEVENT(lParam) == FD_CONNECT ? WSAGETSELECTERROR(lParam) : 0;
    if (CSocketNotifier* owner = CSocketNotifier::Owner(socket))
        owner->Notify(socket, error);
    return 0;
}

HWND SocketWindow() {
    static const HWND window = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = SocketWindowProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QuenDravaltSockets";
        ::RegisterClassW(&wc);
        return ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 wc.hInstance, nullptr);
    }();
    return window;
}
}  // namespace

CSocketNotifier::CSocketNotifier(std::function<void(int, int)> ready) : m_ready(std::move(ready)) {}

CSocketNotifier::~CSocketNotifier() {
    while (!m_sockets.empty())
        Unwatch(*m_sockets.begin());
}

CSocketNotifier* CSocketNotifier::Owner(int socket) {
    const auto it = Watched().find(socket);
    return it == Watched().end() ? nullptr : it->second;
}

void CSocketNotifier::Watch(int socket, bool write) {
    Watched()[socket] = this;
    m_sockets.insert(socket);
    const long events = FD_READ | FD_OOB | FD_CONNECT | FD_CLOSE | (write ? FD_WRITE : 0);
    ::WSAAsyncSelect(static_cast<SOCKET>(socket), SocketWindow(), kSocketMessage, events);
    if (write)
        ::PostMessageW(SocketWindow(), kSocketMessage, static_cast<WPARAM>(socket), 0);
}

void CSocketNotifier::Unwatch(int socket) {
    if (!m_sockets.erase(socket))
        return;
    ::WSAAsyncSelect(static_cast<SOCKET>(socket), SocketWindow(), 0, 0);
    const auto it = Watched().find(socket);
    if (it != Watched().end() && it->second == this)
        Watched().erase(it);
}
