// quendravalt-cli as a process on one large INBOX (80% of it before the
// cut-off day, bodies of 2 to 4 KB) against a private Dovecot, next to
// bench/imaplib_reference.py: Python's imaplib sending the same commands in
// the same sets, pausing as the run does between its steps. Each client's
// wall time and peak RSS (of the process itself), with the
// manifest and with the archive as well (and the command line once without the
// manifest, for what it costs); the mailbox is put back between runs.
//
// The run's pause is at least 100 ms (kMinPauseMs): the command line takes no
// shorter one, so both clients pause 100 ms; the 10 ms rows are imaplib alone,
// to show what the pauses cost.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/DataFolder.h"
#include "support/Dovecot.h"
#include "support/Harness.h"

namespace {

// One account "big" of messages, built once and reused: Save after a first
// SELECT, so that every run meets the same Maildir and the same index.
struct Mailbox {
    int messages = 0;
    Dovecot server;
};

std::unique_ptr<Mailbox>& Current() {
    static std::unique_ptr<Mailbox> mailbox;
    return mailbox;
}

// A body of 2 to 4 KB of 76-column lines, different from message to message.
std::string Body(int m) {
    const size_t size = 2048 + static_cast<size_t>(m) * 977 % 2048;
    std::string body;
    for (int line = 0; body.size() < size; ++line) {
        std::string text =
            "Line " + std::to_string(line) + " of message " + std::to_string(m) + " ";
        text.resize(76, static_cast<char>('a' + (m + line) % 26));
        body += text + "\n";
    }
    return body;
}

struct Outcome {
    int status = -1;
    double seconds = 0;
    long maxRssKb = 0;
    double cpuSeconds = 0;  // user and system
};

// Runs argv with env, its output and errors to files; waits for it. The peak
// memory and CPU time come from /usr/bin/time: a child forked from this
// process would start with its resident pages as its peak.
Outcome RunProcess(std::vector<std::string> argv, const std::vector<std::string>& env,
                   const std::string& out, const std::string& err) {
    const std::string measured = out + ".time";
    argv.insert(argv.begin(), {"/usr/bin/time", "-f", "%M %U %S", "-o", measured});
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        std::vector<char*> args, vars;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        for (const std::string& v : env)
            vars.push_back(const_cast<char*>(v.c_str()));
        args.push_back(nullptr);
        vars.push_back(nullptr);
        ::execve(args[0], args.data(), vars.data());
        ::_exit(127);
    }
    Outcome outcome;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid)
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double user = 0, system = 0;
    if (std::FILE* file = std::fopen(measured.c_str(), "r")) {
        if (std::fscanf(file, "%ld %lf %lf", &outcome.maxRssKb, &user, &system) == 3)
            outcome.cpuSeconds = user + system;
        std::fclose(file);
    }
    return outcome;
}

// archive: 0 the manifest, 1 the manifest and copies, -1 neither.
std::vector<std::string> CliArgs(const TempFolder& data, int archive) {
    std::vector<std::string> args = {QD_CLI, "--data",   data.Path(),  "--user",
                                     "big",  "--before", "2020-06-01", "-q"};
    if (archive < 0)
        args.push_back("--no-manifest");
    else
        args.insert(args.end(), {"--manifest", data.File("manifest.csv")});
    if (archive > 0)
        args.insert(args.end(), {"--archive", data.File("archive")});
    return args;
}

std::vector<std::string> ImaplibArgs(const TempFolder& data, unsigned port, int pauseMs,
                                     bool archive) {
    std::vector<std::string> args = {"/usr/bin/env",
                                     "python3",
                                     QD_BENCH_DIR "/imaplib_reference.py",
                                     "--port",
                                     std::to_string(port),
                                     "--user",
                                     "big",
                                     "--before",
                                     "01-Jun-2020",
                                     "--pause-ms",
                                     std::to_string(pauseMs),
                                     "--manifest",
                                     data.File("manifest.csv")};
    if (archive)
        args.insert(args.end(), {"--archive", data.File("archive")});
    return args;
}

// Times a client sent a command: lines of the CLI's log, or what the script counted.
int Commands(const std::string& text, const std::string& command) {
    int count = 0;
    for (size_t at = 0; (at = text.find(command, at)) != std::string::npos; at += command.size())
        ++count;
    return count;
}

// Arguments: messages, client (0 quendravalt-cli, 1 imaplib), archive (0, 1; -1 the
// command line without the manifest), pause in ms.
void BM_CliVersusImaplib(benchmark::State& state) {
    const int messages = static_cast<int>(state.range(0));
    const bool imaplib = state.range(1) != 0;
    const int archive = static_cast<int>(state.range(2));
    const int pauseMs = static_cast<int>(state.range(3));
    std::unique_ptr<Mailbox>& mailbox = Current();
    if (!mailbox || mailbox->messages != messages) {
        mailbox.reset();  // one at a time: 100,000 messages are 300 MB
        const auto built = std::chrono::steady_clock::now();
        mailbox = std::make_unique<Mailbox>();
        mailbox->messages = messages;
        mailbox->server.AddAccount("big", "pw");
        for (int m = 0; m < messages; ++m)
            mailbox->server.AddMessage("big", static_cast<unsigned>(m + 1),
                                       m % 5 == 4 ? kNew : kOld, "m" + std::to_string(m + 1), "",
                                       "", Body(m));
        // A first SELECT makes the index the runs then start from.
        TempFolder data;
        if (const std::string error = mailbox->server.Start(); !error.empty()) {
            state.SkipWithError(error.c_str());
            mailbox.reset();
            return;
        }
        const Outcome seen =
            RunProcess({"/usr/bin/env", "python3", QD_BENCH_DIR "/imaplib_reference.py", "--port",
                        std::to_string(mailbox->server.Port()), "--user", "big", "--select-only"},
                       {"PATH=/usr/local/bin:/usr/bin:/bin", "QUENDRAVALT_PASSWORD=pw"},
                       data.File("out"), data.File("err"));
        mailbox->server.Stop();
        if (seen.status != 0) {
            state.SkipWithError(("the first SELECT failed: " + ReadFile(data.File("err"))).c_str());
            mailbox.reset();
            return;
        }
        mailbox->server.SaveMail();
        std::fprintf(
            stderr, "%d messages built and indexed in %.0f s\n", messages,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - built).count());
    }
    Dovecot& server = mailbox->server;
    for (auto _ : state) {
        server.RestoreMail();
        if (const std::string error = server.Start(); !error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        TempFolder data;
        // Nothing of the restore left for the disk to write meanwhile: the
        // copies' fsyncs would wait for it.
        ::sync();
        WriteFile(data.File(kConfigFileName), std::to_string(pauseMs) + "\r\n127.0.0.1\r\n" +
                                                  std::to_string(server.Port()) +
                                                  "\r\nnone\r\n\r\n");
        const char* path = std::getenv("PATH");
        const std::vector<std::string> env = {
            std::string("PATH=") + (path ? path : "/usr/bin:/bin"), "QUENDRAVALT_PASSWORD=pw",
            "HOME=" + data.Path()};
        const Outcome outcome =
            RunProcess(imaplib ? ImaplibArgs(data, server.Port(), pauseMs, archive > 0)
                               : CliArgs(data, archive),
                       env, data.File("out"), data.File("err"));
        state.SetIterationTime(outcome.seconds);
        server.Stop();
        const std::string out = ReadFile(data.File("out"));
        const size_t left = server.Subjects("big").size();
        if (outcome.status != 0 || left != static_cast<size_t>(messages - messages * 4 / 5)) {
            state.SkipWithError(("exit " + std::to_string(outcome.status) + ", " +
                                 std::to_string(left) + " messages left: " + out +
                                 ReadFile(data.File("err")))
                                    .c_str());
            return;
        }
        // The commands as sent: the CLI's log has its lines, the script counts its own.
        const std::string sent = imaplib ? out : ReadFile(data.File(kLogFileName));
        state.counters["seconds"] = outcome.seconds;
        state.counters["peak_rss_MiB"] = outcome.maxRssKb / 1024.0;
        state.counters["cpu_s"] = outcome.cpuSeconds;
        state.counters["fetches"] = Commands(sent, "UID FETCH ") - Commands(sent, "BODY.PEEK[])");
        state.counters["body_fetches"] = Commands(sent, "UID BODY.PEEK[])");
        state.counters["stores"] = Commands(sent, "UID STORE ");
        state.counters["expunges"] = Commands(sent, "UID EXPUNGE ");
    }
}
BENCHMARK(BM_CliVersusImaplib)
    ->ArgNames({"messages", "imaplib", "archive", "pause_ms"})
    ->Args({2000, 0, 0, 100})
    ->Args({2000, 0, 1, 100})
    ->Args({2000, 1, 0, 100})
    ->Args({2000, 1, 1, 100})
    ->Args({100000, 0, -1, 100})
    ->Args({100000, 0, 0, 100})
    ->Args({100000, 1, 0, 100})
    ->Args({100000, 1, 0, 10})
    ->Args({100000, 0, 1, 100})
    ->Args({100000, 1, 1, 100})
    ->Args({100000, 1, 1, 10})
    ->Args({20000, 0, 0, 100})
    ->Args({20000, 0, 1, 100})
    ->Args({20000, 1, 1, 100})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
}  // namespace
