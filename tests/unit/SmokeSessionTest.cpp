#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "imap/ImapSocket.h"
#include "support/EventPump.h"

TEST(SmokeSession, GreetingLoginOverLoopback) {
    int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(ls, (sockaddr*)&a, sizeof a), 0);
    ::listen(ls, 1);
    socklen_t al = sizeof a;
    ::getsockname(ls, (sockaddr*)&a, &al);
    std::thread server([ls] {
        int c = ::accept(ls, nullptr, nullptr);
        const char g[] = "* OK hi\r\n";
        ::send(c, g, sizeof g - 1, 0);
        char buf[256];
        ssize_t n = ::recv(c, buf, sizeof buf, 0);
        (void)n;
        const char ok[] = "a000000 OK LOGIN done\r\n";
        ::send(c, ok, sizeof ok - 1, 0);
        ::recv(c, buf, sizeof buf, 0);
        ::close(c);
    });
    CTranscript t;
    CImapSocket s(t);
    ASSERT_TRUE(s.ConnectToServer("127.0.0.1", ntohs(a.sin_port)));
    EXPECT_TRUE(PumpUntil([&] { return s.m_bConnected == 1 || s.HasFailed(); }));
    EXPECT_EQ(s.m_bConnected, 1);
    EXPECT_EQ(s.SendLogin("u", "p"), 1);
    EXPECT_TRUE(PumpUntil([&] { return s.m_bLoggedIn == 1 || s.HasFailed(); }));
    EXPECT_EQ(s.m_bLoggedIn, 1) << s.FailureReason();
    s.Close();
    server.join();
    ::close(ls);
    EXPECT_EQ(t.Tail(), "* OK hi\r\na000000 LOGIN u ****\r\na000000 OK LOGIN done\r\n");
}

TEST(SmokeSession, RefusedPortFails) {
    int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(ls, (sockaddr*)&a, sizeof a);
    socklen_t al = sizeof a;
    ::getsockname(ls, (sockaddr*)&a, &al);
    ::close(ls);  // nobody listens there now
    CTranscript t;
    CImapSocket s(t);
    ASSERT_TRUE(s.ConnectToServer("127.0.0.1", ntohs(a.sin_port)));
    EXPECT_TRUE(PumpUntil([&] { return s.HasFailed(); }));
    EXPECT_EQ(s.FailureReason(), "connection refused");
    EXPECT_EQ(s.m_bConnected, 0);
}
