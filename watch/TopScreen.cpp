#include "watch/TopScreen.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <ncurses.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Below this a row would be cut before its key begins, or no row would fit under the heads.
constexpr int MIN_COLUMNS = 40;
constexpr int MIN_LINES = 5;

// Signals that end the program where it stands (a fault, abort, the read sandbox's refusal) run no
// way out of its own: the terminal is put back from the handler, with what the handler may call
// (write and tcsetattr), before the signal goes on to end the program as it would have.
constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};
termios s_terminal {};
char s_acLeave[128] = {};
size_t s_nLeave = 0;
volatile std::sig_atomic_t s_bScreenUp = 0;

void AddLeaveSequence(const char* pszCapability)
{
    const char* pszSequence = tigetstr(pszCapability);
    if (pszSequence == nullptr || pszSequence == reinterpret_cast<char*>(-1))
        return;
    const size_t nLength = std::strlen(pszSequence);
    if (nLength <= sizeof(s_acLeave) - s_nLeave)
    {
        std::memcpy(s_acLeave + s_nLeave, pszSequence, nLength);
        s_nLeave += nLength;
    }
}

void OnFatalSignal(int nSignal)
{
    if (s_bScreenUp != 0)
    {
        [[maybe_unused]] const ssize_t n = write(STDOUT_FILENO, s_acLeave, s_nLeave);
        tcsetattr(STDIN_FILENO, TCSANOW, &s_terminal);
    }
    // The handler was reset as it ran: raised again, the signal ends the program as it would have.
    raise(nSignal);
}

void PutLine(int nY, const std::string& strText, attr_t nAttributes = A_NORMAL)
{
    attrset(nAttributes);
    mvaddnstr(nY, 0, strText.c_str(), COLS);
    attrset(A_NORMAL);
}

} // namespace

bool CTopScreen::Start(std::string& strError)
{
    // ncurses would catch Ctrl+Z to put the terminal back and stop, and swap that handler at every
    // redraw; inside the file reader's sandbox neither is allowed. The table ignores Ctrl+Z.
    std::signal(SIGTSTP, SIG_IGN);
    // Escape is a key here, not the start of one: the table switches at once.
    set_escdelay(25);
    const bool bTerminalKept = tcgetattr(STDIN_FILENO, &s_terminal) == 0;
    m_pScreen = newterm(nullptr, stdout, stdin);
    if (m_pScreen == nullptr)
    {
        strError = "--top cannot draw on this terminal (TERM has no terminfo entry)";
        return false;
    }
    s_nLeave = 0;
    for (const char* pszCapability : {"sgr0", "cnorm", "rmcup"})
        AddLeaveSequence(pszCapability);
    struct sigaction fatal
    {};
    fatal.sa_handler = OnFatalSignal;
    fatal.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&fatal.sa_mask);
    for (size_t i = 0; bTerminalKept && i < std::size(FATAL_SIGNALS); ++i)
        sigaction(FATAL_SIGNALS[i], &fatal, nullptr);
    s_bScreenUp = bTerminalKept ? 1 : 0;
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    // The run polls stdin itself: ncurses need not look for typed keys while it draws.
    typeahead(-1);
    curs_set(0);
    // A resize is let in only while the run waits, where it ends the wait.
    sigset_t resize;
    sigemptyset(&resize);
    sigaddset(&resize, SIGWINCH);
    sigprocmask(SIG_BLOCK, &resize, &m_waitMask);
    sigdelset(&m_waitMask, SIGWINCH);
    return true;
}

void CTopScreen::End()
{
    if (m_pScreen == nullptr)
        return;
    endwin();
    delscreen(m_pScreen);
    m_pScreen = nullptr;
    // The handlers stay (the read sandbox lets no action change), with nothing left to put back.
    s_bScreenUp = 0;
    sigprocmask(SIG_SETMASK, &m_waitMask, nullptr);
    std::fflush(stdout);
}

void CTopScreen::Draw(const std::string& strStatus)
{
    if (m_pScreen == nullptr)
        return;
    m_strStatus = strStatus;
    erase();
    if (COLS < MIN_COLUMNS || LINES < MIN_LINES)
    {
        PutLine(0, "too small for --top");
        PutLine(1, "needs " + std::to_string(MIN_COLUMNS) + "x" + std::to_string(MIN_LINES) + ", is "
                       + std::to_string(COLS) + "x" + std::to_string(LINES));
        refresh();
        return;
    }
    std::string strKeys = "  keys:";
    for (const CTopTable::Kind nKind : m_table.GetKinds())
    {
        strKeys += nKind == m_nKind ? " [" : " ";
        strKeys += CTopTable::GetTitle(nKind);
        strKeys += nKind == m_nKind ? "]" : "";
    }
    strKeys += " (";
    for (const CTopTable::Kind nKind : m_table.GetKinds())
        strKeys.append(nKind == m_table.GetKinds().front() ? "" : " ").append(1, CTopTable::GetKey(nKind));
    strKeys += ", Tab), q quits";
    PutLine(0, m_table.GetHeadLine(m_nKind) + strKeys, A_BOLD);
    PutLine(1, strStatus);
    PutLine(2, CTopTable::GetColumnLine(m_nKind), A_REVERSE);
    const std::string strOthers = m_table.GetOthersLine(m_nKind);
    const int nRoom = LINES - 3 - (strOthers.empty() ? 0 : 1);
    int nY = 3;
    for (const CTopTable::CRow& row : m_table.GetTop(m_nKind, std::min<size_t>(m_nRows, size_t(nRoom))))
        PutLine(nY++, m_table.GetRowLine(m_nKind, row));
    if (!strOthers.empty())
        PutLine(nY, strOthers);
    refresh();
}

int CTopScreen::Wait(pollfd* pFds, nfds_t nFds, int nTimeoutMs) const
{
    if (m_pScreen == nullptr)
        return poll(pFds, nFds, nTimeoutMs);
    timespec timeout {nTimeoutMs / 1000, long(nTimeoutMs % 1000) * 1000000};
    return ppoll(pFds, nFds, nTimeoutMs < 0 ? nullptr : &timeout, &m_waitMask);
}

bool CTopScreen::TakeKeys()
{
    if (m_pScreen == nullptr)
        return true;
    bool bChanged = false;
    for (int nKey = getch(); nKey != ERR; nKey = getch())
    {
        if (nKey == 'q' || nKey == 'Q')
            return false;
        if (nKey == '\t')
            m_nKind = m_table.GetNext(m_nKind);
        else if (const int nKind = m_table.KindForKey(nKey); nKind >= 0)
            m_nKind = CTopTable::Kind(nKind);
        else if (nKey != KEY_RESIZE)
            continue;
        bChanged = true;
    }
    if (bChanged)
        Draw(m_strStatus);
    return true;
}
