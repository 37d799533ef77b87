#pragma once

#include "dns/NameRule.h"
#include "ui/NameIndex.h"
#include "ui/NameStore.h"
#include "ui/RowTimes.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QElapsedTimer>
#include <QIcon>
#include <cstddef>
#include <ctime>
#include <string_view>

class QTimer;

// The captured-names list: one row per distinct name since the last Clear, row 0 the newest, each
// with the local time at which it was first seen. Names are kept as the bytes received and shown
// in their presentation form.
class CCapturedNames;

class CNameListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        COLUMN_NAME = 0,
        COLUMN_TIME = 1,
        COLUMN_COUNT = 2
    };

    // The most the list holds, whichever is reached first. Anyone who can put DNS queries on the
    // watched interface can send new names without end; this keeps the list (about 1.5 GiB at
    // worst, with its index) far above any real capture and far below what ends in an
    // out-of-memory kill that loses every row.
    static constexpr size_t BUDGET_NAMES = NameRule::BUDGET_NAMES;
    static constexpr size_t BUDGET_NAME_BYTES = NameRule::BUDGET_NAME_BYTES;

    explicit CNameListModel(QObject* parent = nullptr);
    ~CNameListModel() override;

    // Inserts the name at row 0 with the time it was seen unless a listed name equals it ignoring
    // the case of ASCII letters, or the list has reached its budget. True when a row was added.
    bool AddName(const char* name, size_t length, std::time_t tSeen);
    // AddName for each name of a batch, in its order. Most names of a busy capture are listed
    // already, and each lookup waits for a slot at a random place of a large index: the slots of
    // the next few names are asked for while the present one is looked up, so the waits overlap.
    void AddNames(const CCapturedNames& names);
    // Empties the list; new names are listed again. The count of refused names stays.
    void Clear();
    // Starts the count of refused names afresh, as a new capture does.
    void ResetRefusedCount() { m_nRefused = 0; }

    // Replaces the budget (names, bytes of name text); rows already listed stay.
    void SetBudget(size_t nNames, size_t nNameBytes);
    size_t GetBudgetNames() const { return m_nBudgetNames; }
    size_t GetBudgetNameBytes() const { return m_nBudgetNameBytes; }
    // Arrivals of unlisted names turned away by the budget since ResetRefusedCount, across Clears;
    // repeats of listed names are not counted. After the first refusal every new name is turned
    // away until Clear.
    quint64 GetRefusedCount() const { return m_nRefused; }

    // A view told of every row as it arrives spends more time laying out and painting than the
    // capture has between names. With a period set, rows are stored (and found by the duplicate
    // test) at once but shown to views together, at most once per period: a row that comes when
    // nothing was shown for a whole period is shown as soon as the event loop runs (with the rest
    // of its batch), later ones wait for the period to end. 0, the default, shows each row at once.
    // Rows read through the model are the shown ones.
    void SetInsertionPeriod(int nMilliseconds);
    // Shows the rows still waiting for the next period.
    void FlushInsertions();

    // The name's bytes as they came from the wire (what the list's rule compares, and what an
    // address is made of); empty out of range.
    QByteArray GetName(int row) const;
    std::string_view GetNameView(int row) const;
    // The cell's text as shown: the name in its presentation form, or the formatted time.
    QByteArray GetCellText(int row, int column) const;

    // Shown beside every name in column 0 (image 0 of the list's image strip).
    void SetNameIcon(const QIcon& icon);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // The first new name since the last Clear was refused by the budget.
    void BudgetReached();

private:
    bool AddName(std::string_view name, std::time_t tSeen, uint32_t nHash);
    // The rows, the index that finds a repeated name among them, and the seconds they show.
    CNameStore m_store;
    CNameIndex m_index;
    CRowTimes m_times;
    size_t m_nShown = 0; // the oldest rows, the ones views know of
    size_t m_nBudgetNames = BUDGET_NAMES;
    size_t m_nBudgetNameBytes = BUDGET_NAME_BYTES;
    quint64 m_nRefused = 0;
    bool m_bFull = false; // a name was refused since the last Clear
    QIcon m_iconName;
    int m_nInsertionPeriod = 0;
    QTimer* m_pInsertionTimer = nullptr;
    QElapsedTimer m_sinceShown; // since rows were last shown; invalid before the first
};
