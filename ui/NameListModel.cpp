#include "ui/NameListModel.h"

#include "capture/CapturedNames.h"
#include "dns/PresentationForm.h"
#include "res/Resource.h"
#include "templates/Resources.h"

#include <QString>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <utility>

// Rows are kept in arrival order (index 0 the oldest); row 0 of the model is the last index.
CNameListModel::CNameListModel(QObject* parent) : QAbstractTableModel(parent), m_index(m_store)
{}

CNameListModel::~CNameListModel() = default;

bool CNameListModel::AddName(const char* name, size_t length, std::time_t tSeen)
{
    if (name == nullptr && length != 0)
        return false;
    const std::string_view strName(length != 0 ? name : "", length);
    return AddName(strName, tSeen, m_index.Hash(strName));
}

void CNameListModel::AddNames(const CCapturedNames& names)
{
    constexpr size_t AHEAD = 8;
    uint32_t aHashes[AHEAD];
    const size_t nCount = names.GetCount();
    for (size_t i = 0; i < std::min(AHEAD, nCount); ++i)
    {
        aHashes[i] = m_index.Hash(names.GetName(i));
        m_index.Prefetch(aHashes[i]);
    }
    for (size_t i = 0; i < nCount; ++i)
    {
        const uint32_t nHash = aHashes[i % AHEAD];
        if (i + AHEAD < nCount)
        {
            aHashes[i % AHEAD] = m_index.Hash(names.GetName(i + AHEAD));
            m_index.Prefetch(aHashes[i % AHEAD]);
        }
        AddName(names.GetName(i), names.GetTime(i), nHash);
    }
}

bool CNameListModel::AddName(std::string_view strName, std::time_t tSeen, uint32_t nHash)
{
    // Rows are addressed by int, the index keeps store indices below its empty marker, and a row
    // keeps its length in 32 bits; the capture never comes near any of these.
    const size_t nCount = m_store.GetCount();
    if (nCount >= static_cast<size_t>(INT_MAX) || strName.size() > UINT32_MAX)
        return false;

    m_index.GrowFor(nCount + 1);
    const size_t nSlot = m_index.Find(strName, nHash);
    if (!m_index.IsEmptySlot(nSlot))
        return false;
    // Once a name has been turned away the list stays as it is until the next Clear, so no row shows
    // up after the user was told that new names are no longer listed.
    if (m_bFull || nCount >= m_nBudgetNames
        || strName.size() > m_nBudgetNameBytes - std::min(m_store.GetNameBytes(), m_nBudgetNameBytes))
    {
        ++m_nRefused;
        if (!std::exchange(m_bFull, true))
            emit BudgetReached();
        return false;
    }

    // Only now: a time kept for a name that is not listed would grow without bound under a stream
    // of repeats with ever new times.
    m_store.Add(strName, m_times.Index(tSeen));
    m_index.Insert(nSlot, nHash, nCount);
    if (m_nInsertionPeriod == 0)
        FlushInsertions();
    else if (!m_pInsertionTimer->isActive())
    {
        // Only the rest of the period: after a quiet spell that is nothing, and the row shows as
        // soon as the batch it came with has been stored.
        const qint64 nSinceShown = m_sinceShown.isValid() ? m_sinceShown.elapsed() : m_nInsertionPeriod;
        m_pInsertionTimer->start(static_cast<int>(qMax<qint64>(0, m_nInsertionPeriod - nSinceShown)));
    }
    return true;
}

void CNameListModel::SetInsertionPeriod(int nMilliseconds)
{
    m_nInsertionPeriod = qMax(0, nMilliseconds);
    if (!m_pInsertionTimer)
    {
        m_pInsertionTimer = new QTimer(this);
        m_pInsertionTimer->setSingleShot(true);
        connect(m_pInsertionTimer, &QTimer::timeout, this, &CNameListModel::FlushInsertions);
    }
    if (m_nInsertionPeriod == 0)
        FlushInsertions();
}

void CNameListModel::FlushInsertions()
{
    if (m_pInsertionTimer)
        m_pInsertionTimer->stop();
    if (m_nShown == m_store.GetCount())
        return;
    // The waiting rows are the newest, so they all go in above the shown ones.
    beginInsertRows(QModelIndex(), 0, static_cast<int>(m_store.GetCount() - m_nShown) - 1);
    m_nShown = m_store.GetCount();
    endInsertRows();
    m_sinceShown.start();
}

void CNameListModel::Clear()
{
    if (m_pInsertionTimer)
        m_pInsertionTimer->stop();
    beginResetModel();
    m_index.Release();
    m_store.Release();
    m_times.Release();
    m_nShown = 0;
    m_bFull = false;
    endResetModel();
}

void CNameListModel::SetBudget(size_t nNames, size_t nNameBytes)
{
    m_nBudgetNames = nNames;
    m_nBudgetNameBytes = nNameBytes;
}

std::string_view CNameListModel::GetNameView(int row) const
{
    if (row < 0 || static_cast<size_t>(row) >= m_nShown)
        return {};
    return m_store.GetName(m_nShown - 1 - static_cast<size_t>(row));
}

QByteArray CNameListModel::GetName(int row) const
{
    const std::string_view name = GetNameView(row);
    return QByteArray(name.data(), static_cast<qsizetype>(name.size()));
}

QByteArray CNameListModel::GetCellText(int row, int column) const
{
    if (row < 0 || static_cast<size_t>(row) >= m_nShown)
        return QByteArray();
    const size_t nIndex = m_nShown - 1 - static_cast<size_t>(row);
    switch (column)
    {
    case COLUMN_NAME:
    {
        QByteArray text;
        AppendPresented(text, m_store.GetName(nIndex));
        return text;
    }
    case COLUMN_TIME:
        return m_times.Text(m_store.GetTime(nIndex));
    default:
        return QByteArray();
    }
}

void CNameListModel::SetNameIcon(const QIcon& icon)
{
    m_iconName = icon;
    const int nRows = rowCount();
    if (nRows > 0)
        emit dataChanged(index(0, COLUMN_NAME), index(nRows - 1, COLUMN_NAME), {Qt::DecorationRole});
}

int CNameListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_nShown);
}

int CNameListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : COLUMN_COUNT;
}

QVariant CNameListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || !checkIndex(index, CheckIndexOption::ParentIsInvalid))
        return QVariant();
    switch (role)
    {
    case Qt::DisplayRole:
    {
        // Both cells are ASCII: the name in its presentation form, the time in the C locale.
        return QString::fromLatin1(GetCellText(index.row(), index.column()));
    }
    case Qt::DecorationRole:
        if (index.column() == COLUMN_NAME && !m_iconName.isNull())
            return m_iconName;
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant CNameListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (section < 0 || section >= COLUMN_COUNT)
        return QVariant();
    switch (role)
    {
    case Qt::DisplayRole:
        return LoadResourceString(section == COLUMN_NAME ? IDS_NAME_COLUMN : IDS_TIME_COLUMN);
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return QVariant();
    }
}
