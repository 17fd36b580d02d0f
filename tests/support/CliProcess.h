// quendravalt-cli run as cron runs it: a process with arguments, environment
// and standard input; its output, error and exit status. Header only: QD_CLI
// names the program of the test binary's own build.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Harness.h"

using Texts = std::vector<std::string>;

// One run of the program: started at once, collected by Wait.
class Cli {
public:
    explicit Cli(const Texts& args, const std::string& input = "", const Texts& env = {}) {
        int in[2], out[2], err[2];
        if (::pipe(in) || ::pipe(out) || ::pipe(err))
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(err[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
                ::close(fd);
            // QD_CLI_WINE names the Windows build, run under Wine instead.
            const char* windows = std::getenv("QD_CLI_WINE");
            std::vector<char*> argv{const_cast<char*>(QD_CLI)};
            if (windows)
                argv = {const_cast<char*>("wine"), const_cast<char*>(windows)};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::unsetenv("QUENDRAVALT_PASSWORD");
            for (const std::string& var : env)
                ::putenv(const_cast<char*>(var.c_str()));
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]), ::close(out[1]), ::close(err[1]);
        (void)!::write(in[1], input.data(), input.size());
        ::close(in[1]);
        m_out = out[0], m_err = err[0];
    }
    void Signal(int sig) const { ::kill(m_pid, sig); }
    // Exit status (-1 when killed after 60 s), standard output and error.
    int Wait(std::string& out, std::string& err) {
        const auto end = std::chrono::steady_clock::now() + 60s;
        pollfd fds[] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        std::string* texts[] = {&out, &err};
        for (int open = 2; open > 0 && std::chrono::steady_clock::now() < end;) {
            ::poll(fds, 2, 100);
            for (int i = 0; i < 2; ++i) {
                char buf[4096];
                const ssize_t n = fds[i].revents ? ::read(fds[i].fd, buf, sizeof buf) : -1;
                if (n > 0)
                    texts[i]->append(buf, static_cast<size_t>(n));
                else if (n == 0 && fds[i].fd >= 0)
                    ::close(fds[i].fd), fds[i].fd = -1, --open;
            }
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == 0)
            ::kill(m_pid, SIGKILL), ::waitpid(m_pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
};

// A test with a private data folder that runs the program in it.
class CliTest : public ::testing::Test {
protected:
    int Run(const Texts& args, const std::string& input = "", const Texts& env = {}) {
        Texts all = {"--data", m_data.Path()};
        all.insert(all.end(), args.begin(), args.end());
        Cli cli(all, input, env);
        m_out.clear(), m_err.clear();
        const int status = cli.Wait(m_out, m_err);
        // Windows writes its text output with CR LF.
        if (std::getenv("QD_CLI_WINE"))
            for (std::string* text : {&m_out, &m_err})
                for (size_t at = 0; (at = text->find("\r\n", at)) != std::string::npos;)
                    text->erase(at, 1);
        return status;
    }
    Texts Lines() const {
        Texts lines;
        for (size_t at = 0, end; (end = m_out.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(m_out.substr(at, end - at));
        return lines;
    }

    TempFolder m_data;
    std::string m_out, m_err;
};
