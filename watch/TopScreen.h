#pragma once

#include "watch/TopTable.h"

#include <csignal>
#include <poll.h>
#include <string>

struct screen;

// tarrow-watch --top on a terminal: the busiest keys of one kind of a CTopTable, drawn full-screen
// through ncurses on stdout, keys read from stdin. The terminal's modes are restored by End, which
// the destructor calls too, so every way out of a run leaves the terminal as it was.
class CTopScreen
{
public:
    CTopScreen(const CTopTable& table, size_t nRows) : m_table(table), m_nRows(nRows) {}
    ~CTopScreen() { End(); }
    CTopScreen(const CTopScreen&) = delete;
    CTopScreen& operator=(const CTopScreen&) = delete;

    // False with the reason in strError when the terminal cannot be drawn on (no terminfo entry).
    bool Start(std::string& strError);
    void End();
    bool IsActive() const { return m_pScreen != nullptr; }

    // Redraws the table; strStatus is the second line (the run's state, the last notice).
    void Draw(const std::string& strStatus);
    // Takes every key waiting on stdin and switches the table as they ask. False once q was pressed.
    bool TakeKeys();
    // poll(), which a resize of the terminal ends too: ncurses only notes the signal, and one that
    // came between TakeKeys and a wait with no timeout would go unseen until the next key.
    int Wait(pollfd* pFds, nfds_t nFds, int nTimeoutMs) const;

private:
    const CTopTable& m_table;
    size_t m_nRows;
    CTopTable::Kind m_nKind = CTopTable::NAMES;
    screen* m_pScreen = nullptr;
    // The signals blocked before Start, which Wait lets in while it waits.
    sigset_t m_waitMask {};
    std::string m_strStatus;
};
