#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support/HeadlessRunHost.h"

namespace {
// Answers every command OK, in a server's usual words; SEARCH finds 1 and 2.
struct AgreeingServer {
    int listener = -1;
    unsigned port = 0;
    std::thread thread;
    std::atomic<int> sessions{0};

    explicit AgreeingServer(int accounts) {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, (sockaddr*)&a, sizeof a);
        ::listen(listener, 4);
        socklen_t al = sizeof a;
        ::getsockname(listener, (sockaddr*)&a, &al);
        port = ntohs(a.sin_port);
        thread = std::thread([this, accounts] {
            for (int i = 0; i < accounts; ++i) {
                int c = ::accept(listener, nullptr, nullptr);
                if (c < 0)
                    return;
                timeval tv{10, 0};
                ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                std::string greet = "* OK ready\r\n";
                ::send(c, greet.data(), greet.size(), 0);
                std::string in;
                char buf[4096];
                for (;;) {
                    ssize_t n = ::recv(c, buf, sizeof buf, 0);
                    if (n <= 0)
                        break;
                    in.append(buf, n);
                    size_t eol;
                    while ((eol = in.find("\r\n")) != std::string::npos) {
                        std::string line = in.substr(0, eol);
                        in.erase(0, eol + 2);
                        std::string tag = line.substr(0, line.find(' '));
                        std::string out;
                        if (line.find(" SELECT ") != std::string::npos)
                            out = tag + " OK [READ-WRITE] done\r\n";
                        else if (line.find(" SEARCH ") != std::string::npos)
                            out = "* SEARCH 1 2\r\n" + tag + " OK done\r\n";
                        else
                            out = tag + " OK done\r\n";
                        ::send(c, out.data(), out.size(), MSG_NOSIGNAL);
                    }
                }
                ::close(c);
                ++sessions;
            }
        });
    }
    ~AgreeingServer() {
        ::shutdown(listener, SHUT_RDWR);
        ::close(listener);
        thread.join();
    }
};
}  // namespace

TEST(SmokeSequencer, ListRunWalksEveryAccount) {
    AgreeingServer server(2);
    HeadlessRun run;
    run.settings.m_nPauseMs = 20;
    run.settings.m_strServerIP = "127.0.0.1";
    run.settings.m_strPort = std::to_string(server.port);
    run.users.m_arrAccounts = {"a", "b"};
    run.users.m_arrPasswords = {"pa", "pb"};
    run.sequencer.StartListRun("01-Jan-2020");
    ASSERT_TRUE(run.WaitForEnd());
    const std::vector<std::string> one = {"Connected to server 127.0.0.1", "Login User a",
                                          "Search mails with date before 01-Jan-2020",
                                          "Deleting 2 mails", "Logout from exchange server."};
    std::vector<std::string> want = one;
    for (auto s : one)
        want.push_back(s == "Login User a" ? "Login User b" : s);
    want.push_back("Operazione completata.");
    EXPECT_EQ(run.host.statuses, want);
}
