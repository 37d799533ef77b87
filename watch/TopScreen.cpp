#include "watch/TopScreen.h"

#include <csignal>
#include <cstdio>
#include <ncurses.h>

namespace {

// Below this a row would be cut before its key begins, or no row would fit under the heads.
constexpr int MIN_COLUMNS = 40;
constexpr int MIN_LINES = 5;

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
    m_pScreen = newterm(nullptr, stdout, stdin);
    if (m_pScreen == nullptr)
    {
        strError = "--top cannot draw on this terminal (TERM has no terminfo entry)";
        return false;
    }
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
    for (int i = 0; i < m_table.GetKindCount(); ++i)
    {
        const auto nKind = CTopTable::Kind(i);
        strKeys += nKind == m_nKind ? " [" : " ";
        strKeys += CTopTable::GetTitle(nKind);
        strKeys += nKind == m_nKind ? "]" : "";
    }
    strKeys += " (n p s t";
    strKeys += m_table.HasExchanges() ? " r l" : "";
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
