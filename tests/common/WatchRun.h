#pragma once

// tarrow-watch run as a program, for the tests that look at it from outside: with its stdout and
// stderr on pipes, and killed and reaped if a test leaves it. The test target defines
// TARROW_WATCH_PATH, and TARROW_TEST_HELPER_PATH for the live fixture.

#include "common/NetNamespaceFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/capability.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <sstream>
#include <vector>

// The cells of one TSV line.
inline std::vector<std::string> TsvCells(const std::string& strLine)
{
    std::vector<std::string> cells(1);
    for (const char ch : strLine)
    {
        if (ch == '\t')
            cells.emplace_back();
        else
            cells.back() += ch;
    }
    return cells;
}

// One column of TSV output, found by its head in the first line: the cell of every line, heads
// lines too (a file reopened starts with them again).
inline std::vector<std::string> TsvColumn(const std::string& strOut, const std::string& strHead)
{
    std::istringstream lines(strOut);
    std::vector<std::string> column;
    size_t nColumn = 0;
    for (std::string strLine; std::getline(lines, strLine);)
    {
        const std::vector<std::string> cells = TsvCells(strLine);
        if (column.empty())
            nColumn = size_t(std::find(cells.begin(), cells.end(), strHead) - cells.begin());
        column.push_back(nColumn < cells.size() ? cells[nColumn] : "(no " + strHead + ")");
    }
    return column;
}

// The TSV lines of a run as maps from head to cell, heads lines left out.
inline std::vector<std::map<std::string, std::string>> TsvLines(const std::string& strOut)
{
    std::vector<std::map<std::string, std::string>> lines;
    std::vector<std::string> heads;
    std::istringstream text(strOut);
    for (std::string strLine; std::getline(text, strLine);)
    {
        const std::vector<std::string> cells = TsvCells(strLine);
        if (cells[0] == "kind")
        {
            heads = cells;
            continue;
        }
        auto& line = lines.emplace_back();
        for (size_t i = 0; i < cells.size() && i < heads.size(); ++i)
            line[heads[i]] = cells[i];
    }
    return lines;
}

class CWatchRun
{
public:
    pid_t pid = -1;
    int hOut = -1;
    int hErr = -1;
    std::string strOut; // what ReadUntil has read of stdout

    explicit CWatchRun(const std::vector<std::string>& args)
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<std::string> all {TARROW_WATCH_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, TARROW_WATCH_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        hOut = out[0];
        hErr = err[0];
    }
    ~CWatchRun()
    {
        if (pid > 0)
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        CloseOut();
        if (hErr >= 0)
            close(hErr);
    }
    CWatchRun(const CWatchRun&) = delete;
    CWatchRun& operator=(const CWatchRun&) = delete;

    void CloseOut()
    {
        if (hOut >= 0)
            close(hOut);
        hOut = -1;
    }
    // Everything written to the pipe until it closes.
    static std::string ReadAll(int fd)
    {
        std::string strText;
        char buffer[65536];
        for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof(buffer))) > 0;)
            strText.append(buffer, size_t(n));
        return strText;
    }
    // What came on the pipe, until it stays quiet for the time or closes.
    static std::string ReadFor(int fd, std::chrono::milliseconds wait)
    {
        std::string strText;
        char buffer[4096];
        pollfd pfd {fd, POLLIN, 0};
        for (ssize_t n; poll(&pfd, 1, int(wait.count())) == 1 && (n = read(fd, buffer, sizeof(buffer))) > 0;)
            strText.append(buffer, size_t(n));
        return strText;
    }
    // What stderr holds until it closes, or stays quiet for a second while the run goes on.
    std::string ReadErrors() { return ReadFor(hErr, std::chrono::seconds(1)); }
    // Whether the first output came within the time: a live capture prints its heads once running.
    bool WaitForOutput(std::chrono::milliseconds wait)
    {
        pollfd pfd {hOut, POLLIN, 0};
        return poll(&pfd, 1, int(wait.count())) == 1;
    }
    // Reads stdout into strOut for up to the time; whether it then holds the text.
    bool ReadUntil(const std::string& strText, std::chrono::milliseconds wait)
    {
        const auto end = std::chrono::steady_clock::now() + wait;
        while (strOut.find(strText) == std::string::npos && std::chrono::steady_clock::now() < end)
        {
            pollfd pfd {hOut, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (poll(&pfd, 1, 20) == 1 && (n = read(hOut, buffer, sizeof(buffer))) > 0)
                strOut.append(buffer, size_t(n));
            else if (n < 0 || (pfd.revents & POLLHUP) != 0)
                break;
        }
        return strOut.find(strText) != std::string::npos;
    }
    // The exit code, or -1 when it did not end within the time (it is then killed).
    int Wait(std::chrono::milliseconds wait = std::chrono::minutes(5))
    {
        const auto end = std::chrono::steady_clock::now() + wait;
        int nStatus = 0;
        while (waitpid(pid, &nStatus, WNOHANG) == 0)
        {
            if (std::chrono::steady_clock::now() > end)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid = -1;
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    }
    // The pids of its children: the helper, once it runs.
    std::vector<pid_t> Children() const
    {
        std::vector<pid_t> children;
        std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
        for (pid_t child; list >> child;)
            children.push_back(child);
        return children;
    }
};

struct CRunResult
{
    int nExit;
    std::string strOut;
    std::string strErr;
};

inline CRunResult RunWatch(const std::vector<std::string>& args)
{
    CWatchRun run(args);
    CRunResult result {0, CWatchRun::ReadAll(run.hOut), CWatchRun::ReadAll(run.hErr)};
    result.nExit = run.Wait(std::chrono::seconds(10));
    return result;
}

#if defined(TARROW_TEST_HELPER_PATH)
// A fresh namespace pair for a live tarrow-watch. Root's tarrow-watch gives up root's rights, as the
// window does, and captures through a helper whose file holds the right: the build tree's one holds
// it for the test's length.
class CWatchLiveTest : public CNetNamespaceTest
{
protected:
    void SetUp() override
    {
        CNetNamespaceTest::SetUp();
        if (IsSkipped())
            return;
        const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> pRights(
            cap_from_text("cap_net_raw,cap_bpf,cap_perfmon=p"), &cap_free);
        ASSERT_TRUE(pRights && cap_set_file(TARROW_TEST_HELPER_PATH, pRights.get()) == 0) << std::strerror(errno);
    }
    void TearDown() override
    {
        cap_set_file(TARROW_TEST_HELPER_PATH, nullptr);
        CNetNamespaceTest::TearDown();
    }
};
#endif
