#include "ui/NameListModel.h"

#include <QHashFunctions>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <locale.h>
#include <memory>
#include <new>
#include <string>
#include <sys/mman.h>
#include <vector>

namespace
{

const char* const g_pszNameHeader = "Captured DNS Names";
const char* const g_pszTimeHeader = "Date / Time";
const char* const g_pszTimeFormat = "%B %d %Y %H:%M:%S";

// Only A-Z fold: bytes of 0x80 and above are compared exactly, whatever the process locale says
// about them, and '[' or '@' must not meet '{' or '`'.
inline char FoldAscii(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + ('a' - 'A')) : ch;
}

bool EqualIgnoringAsciiCase(const char* pA, const char* pB, size_t nLength)
{
    for (size_t i = 0; i < nLength; ++i) {
        if (FoldAscii(pA[i]) != FoldAscii(pB[i]))
            return false;
    }
    return true;
}

locale_t CLocale()
{
    static const locale_t s_hLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return s_hLocale;
}

QByteArray FormatBrokenDownTime(const std::tm& tmTime)
{
    char szText[128];
    const size_t nLength = strftime_l(szText, sizeof(szText), g_pszTimeFormat, &tmTime, CLocale());
    return QByteArray(szText, static_cast<qsizetype>(nLength));
}

// A row's time is kept as its broken-down fields rather than a time_t so that a later change of
// time zone cannot rewrite what the row showed when it was inserted.
uint64_t PackTime(const std::tm& tmTime)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(tmTime.tm_year)) << 32
         | static_cast<uint64_t>(tmTime.tm_mon & 0xF) << 22
         | static_cast<uint64_t>(tmTime.tm_mday & 0x1F) << 17
         | static_cast<uint64_t>(tmTime.tm_hour & 0x1F) << 12
         | static_cast<uint64_t>(tmTime.tm_min & 0x3F) << 6
         | static_cast<uint64_t>(tmTime.tm_sec & 0x3F);
}

std::tm UnpackTime(uint64_t nPacked)
{
    std::tm tmTime {};
    tmTime.tm_year = static_cast<int>(static_cast<uint32_t>(nPacked >> 32));
    tmTime.tm_mon = static_cast<int>((nPacked >> 22) & 0xF);
    tmTime.tm_mday = static_cast<int>((nPacked >> 17) & 0x1F);
    tmTime.tm_hour = static_cast<int>((nPacked >> 12) & 0x1F);
    tmTime.tm_min = static_cast<int>((nPacked >> 6) & 0x3F);
    tmTime.tm_sec = static_cast<int>(nPacked & 0x3F);
    return tmTime;
}

// Large blocks are mapped directly: the allocator's heap would keep a cleared list's megabytes
// resident. The duplicate index, probed at one random place per arriving name, asks for
// transparent huge pages so that its probes do not miss the TLB as well as the cache.
template <class T>
struct CMappedAllocator
{
    using value_type = T;
    static constexpr size_t MAP_FROM = size_t(256) << 10;
    static constexpr size_t HUGE_PAGE = size_t(2) << 20;

    CMappedAllocator() = default;
    template <class U>
    CMappedAllocator(const CMappedAllocator<U>&) noexcept
    {
    }

    T* allocate(size_t nCount)
    {
        const size_t nBytes = nCount * sizeof(T);
        if (nBytes < MAP_FROM)
            return static_cast<T*>(::operator new(nBytes));
        void* p = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        if (nBytes >= HUGE_PAGE)
            madvise(p, nBytes, MADV_HUGEPAGE);
        return static_cast<T*>(p);
    }

    void deallocate(T* p, size_t nCount) noexcept
    {
        const size_t nBytes = nCount * sizeof(T);
        if (nBytes < MAP_FROM)
            ::operator delete(p);
        else
            munmap(p, nBytes);
    }

    template <class U>
    bool operator==(const CMappedAllocator<U>&) const noexcept
    {
        return true;
    }
};

} // namespace

// Rows are kept in arrival order (index 0 the oldest); row 0 of the model is the last index. A
// million names must stay cheap to hold and to test for duplicates, so the names are packed into
// large chunks and the duplicate index is an open-addressing table of arrival indices whose hash is
// taken over the case-folded bytes. Hash and index share one slot so that a probe costs one cache
// line. Names and rows never move once stored: a reallocating vector would copy tens of megabytes
// on the UI thread in the middle of a burst.
struct CNameListModel::Impl
{
    struct SSlot
    {
        uint32_t nHash;
        uint32_t nIndex;
    };
    static constexpr uint32_t EMPTY_SLOT = UINT32_MAX;

    struct SRow
    {
        uint64_t nPos;    // chunk number << CHUNK_BITS | offset in the chunk
        uint32_t nLength;
        uint32_t nTime;   // index into m_vecTimes, which holds one entry per distinct second
    };
    static constexpr unsigned CHUNK_BITS = 20;
    static constexpr size_t CHUNK_SIZE = size_t(1) << CHUNK_BITS;

    using CChunk = std::vector<char, CMappedAllocator<char>>;
    std::vector<CChunk> m_vecChunks;
    size_t m_nChunkUsed = CHUNK_SIZE;
    std::deque<SRow> m_deqRows;
    std::vector<uint64_t> m_vecTimes;
    using CSlotVector = std::vector<SSlot, CMappedAllocator<SSlot>>;
    CSlotVector m_vecSlots;
    std::string m_strFolded;
    std::time_t m_tLast = static_cast<std::time_t>(-1);
    size_t m_nShown = 0;   // the oldest rows, the ones views know of
    size_t m_nNameBytes = 0;
    // Rows of one second share their time text; a saved list asks for it row after row.
    mutable uint32_t m_nFormattedTime = UINT32_MAX;
    mutable QByteArray m_baFormattedTime;

    size_t Count() const { return m_deqRows.size(); }
    size_t Length(size_t nIndex) const { return m_deqRows[nIndex].nLength; }
    const char* Data(size_t nIndex) const
    {
        const SRow& row = m_deqRows[nIndex];
        if (row.nLength == 0)
            return "";
        return m_vecChunks[row.nPos >> CHUNK_BITS].data() + (row.nPos & (CHUNK_SIZE - 1));
    }

    // Names never straddle chunks; one that does not fit in a chunk gets one of its own.
    uint64_t Store(const char* pName, size_t nLength)
    {
        if (nLength == 0)
            return 0;
        if (nLength > CHUNK_SIZE - m_nChunkUsed) {
            // Reserved up front and never filled past it, so the bytes of earlier names stay put.
            m_vecChunks.emplace_back().reserve(std::max(nLength, CHUNK_SIZE));
            m_nChunkUsed = 0;
        }
        const uint64_t nPos = static_cast<uint64_t>(m_vecChunks.size() - 1) << CHUNK_BITS | m_nChunkUsed;
        m_vecChunks.back().insert(m_vecChunks.back().end(), pName, pName + nLength);
        m_nChunkUsed = std::min(m_nChunkUsed + nLength, CHUNK_SIZE);
        return nPos;
    }

    uint32_t HashFolded(const char* pName, size_t nLength)
    {
        m_strFolded.resize(nLength);
        for (size_t i = 0; i < nLength; ++i)
            m_strFolded[i] = FoldAscii(pName[i]);
        // Seeded per process: the names come off the network, and a fixed hash would let crafted
        // queries pile up in one probe run.
        return static_cast<uint32_t>(qHashBits(m_strFolded.data(), nLength, QHashSeed::globalSeed()));
    }

    // The slot holding an equal name, or the empty slot where it would go.
    size_t FindSlot(const char* pName, size_t nLength, uint32_t nHash) const
    {
        const size_t nMask = m_vecSlots.size() - 1;
        for (size_t nPos = nHash & nMask;; nPos = (nPos + 1) & nMask) {
            const SSlot& slot = m_vecSlots[nPos];
            if (slot.nIndex == EMPTY_SLOT)
                return nPos;
            if (slot.nHash == nHash && Length(slot.nIndex) == nLength
                && EqualIgnoringAsciiCase(Data(slot.nIndex), pName, nLength))
                return nPos;
        }
    }

    // Keeps the load at most 0.7 so that probe runs stay within a cache line or two.
    void GrowSlotsFor(size_t nCount)
    {
        if (!m_vecSlots.empty() && nCount * 10 <= m_vecSlots.size() * 7)
            return;
        CSlotVector vecOld;
        vecOld.swap(m_vecSlots);
        m_vecSlots.assign(vecOld.empty() ? 64 : vecOld.size() * 2, SSlot { 0, EMPTY_SLOT });
        const size_t nMask = m_vecSlots.size() - 1;
        for (const SSlot& slot : vecOld) {
            if (slot.nIndex == EMPTY_SLOT)
                continue;
            size_t nPos = slot.nHash & nMask;
            while (m_vecSlots[nPos].nIndex != EMPTY_SLOT)
                nPos = (nPos + 1) & nMask;
            m_vecSlots[nPos] = slot;
        }
    }

    uint32_t TimeIndex(std::time_t tNow)
    {
        // Names come in bursts; one conversion per second is enough.
        if (tNow != m_tLast || m_vecTimes.empty()) {
            std::tm tmNow {};
            localtime_r(&tNow, &tmNow);
            const uint64_t nPacked = PackTime(tmNow);
            if (m_vecTimes.empty() || m_vecTimes.back() != nPacked)
                m_vecTimes.push_back(nPacked);
            m_tLast = tNow;
        }
        return static_cast<uint32_t>(m_vecTimes.size() - 1);
    }

    void Release()
    {
        // Swapping with empty vectors hands a large list's memory back instead of keeping capacity.
        std::vector<CChunk>().swap(m_vecChunks);
        m_nChunkUsed = CHUNK_SIZE;
        std::deque<SRow>().swap(m_deqRows);
        std::vector<uint64_t>().swap(m_vecTimes);
        CSlotVector().swap(m_vecSlots);
        std::string().swap(m_strFolded);
        m_nShown = 0;
        m_nNameBytes = 0;
        m_nFormattedTime = UINT32_MAX;
        m_baFormattedTime.clear();
    }

    const QByteArray& TimeText(uint32_t nTime) const
    {
        if (nTime != m_nFormattedTime) {
            m_baFormattedTime = FormatBrokenDownTime(UnpackTime(m_vecTimes[nTime]));
            m_nFormattedTime = nTime;
        }
        return m_baFormattedTime;
    }
};

CNameListModel::CNameListModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_pImpl(new Impl)
{
}

CNameListModel::~CNameListModel()
{
    delete m_pImpl;
}

bool CNameListModel::AddName(const char* name)
{
    if (name == nullptr)
        return false;
    return AddName(name, std::strlen(name));
}

bool CNameListModel::AddName(const char* name, size_t length)
{
    return AddName(name, length, std::time(nullptr));
}

bool CNameListModel::AddName(const char* name, size_t length, std::time_t tSeen)
{
    if (name == nullptr && length != 0)
        return false;
    Impl& impl = *m_pImpl;
    // Rows are addressed by int, the index keeps arrival numbers below its empty marker, and a row
    // keeps its length in 32 bits; the capture never comes near any of these.
    if (impl.Count() >= static_cast<size_t>(INT_MAX) || length > UINT32_MAX)
        return false;

    impl.GrowSlotsFor(impl.Count() + 1);
    const uint32_t nHash = impl.HashFolded(name, length);
    // In a large list the slot is far out of cache; reading the clock meanwhile hides part of the wait.
    __builtin_prefetch(&impl.m_vecSlots[nHash & (impl.m_vecSlots.size() - 1)]);
    const uint32_t nTime = impl.TimeIndex(tSeen);
    const size_t nPos = impl.FindSlot(name, length, nHash);
    if (impl.m_vecSlots[nPos].nIndex != Impl::EMPTY_SLOT)
        return false;
    // Once a name has been turned away the list stays as it is until the next Clear, so no row shows
    // up after the user was told that new names are no longer listed.
    if (m_nRefused > 0 || impl.Count() >= m_nBudgetNames
        || length > m_nBudgetNameBytes - std::min(impl.m_nNameBytes, m_nBudgetNameBytes)) {
        if (++m_nRefused == 1)
            emit BudgetReached();
        return false;
    }

    const size_t nIndex = impl.Count();
    impl.m_deqRows.push_back(Impl::SRow { impl.Store(name, length), static_cast<uint32_t>(length), nTime });
    impl.m_nNameBytes += length;
    impl.m_vecSlots[nPos] = Impl::SSlot { nHash, static_cast<uint32_t>(nIndex) };
    if (m_nInsertionPeriod == 0)
        FlushInsertions();
    else if (!m_pInsertionTimer->isActive())
        m_pInsertionTimer->start();
    return true;
}

void CNameListModel::SetInsertionPeriod(int nMilliseconds)
{
    m_nInsertionPeriod = qMax(0, nMilliseconds);
    if (!m_pInsertionTimer) {
        m_pInsertionTimer = new QTimer(this);
        m_pInsertionTimer->setSingleShot(true);
        connect(m_pInsertionTimer, &QTimer::timeout, this, &CNameListModel::FlushInsertions);
    }
    m_pInsertionTimer->setInterval(m_nInsertionPeriod);
    if (m_nInsertionPeriod == 0)
        FlushInsertions();
}

void CNameListModel::FlushInsertions()
{
    Impl& impl = *m_pImpl;
    if (m_pInsertionTimer)
        m_pInsertionTimer->stop();
    if (impl.m_nShown == impl.Count())
        return;
    // The waiting rows are the newest, so they all go in above the shown ones.
    beginInsertRows(QModelIndex(), 0, static_cast<int>(impl.Count() - impl.m_nShown) - 1);
    impl.m_nShown = impl.Count();
    endInsertRows();
}

void CNameListModel::Clear()
{
    if (m_pInsertionTimer)
        m_pInsertionTimer->stop();
    beginResetModel();
    m_pImpl->Release();
    m_nRefused = 0;
    endResetModel();
}

void CNameListModel::SetBudget(size_t nNames, size_t nNameBytes)
{
    m_nBudgetNames = nNames;
    m_nBudgetNameBytes = nNameBytes;
}

QByteArray CNameListModel::GetName(int row) const
{
    return GetCellText(row, COLUMN_NAME);
}

QByteArray CNameListModel::GetCellText(int row, int column) const
{
    const Impl& impl = *m_pImpl;
    if (row < 0 || static_cast<size_t>(row) >= impl.m_nShown)
        return QByteArray();
    const size_t nIndex = impl.m_nShown - 1 - static_cast<size_t>(row);
    switch (column) {
    case COLUMN_NAME:
        return QByteArray(impl.Data(nIndex), static_cast<qsizetype>(impl.Length(nIndex)));
    case COLUMN_TIME:
        return impl.TimeText(impl.m_deqRows[nIndex].nTime);
    default:
        return QByteArray();
    }
}

void CNameListModel::SetNameIcon(const QIcon& icon)
{
    m_iconName = icon;
    const int nRows = rowCount();
    if (nRows > 0)
        emit dataChanged(index(0, COLUMN_NAME), index(nRows - 1, COLUMN_NAME), { Qt::DecorationRole });
}

QByteArray CNameListModel::FormatTimeText(std::time_t t)
{
    std::tm tmTime {};
    localtime_r(&t, &tmTime);
    return FormatBrokenDownTime(tmTime);
}

int CNameListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_pImpl->m_nShown);
}

int CNameListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : COLUMN_COUNT;
}

QVariant CNameListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || !checkIndex(index, CheckIndexOption::ParentIsInvalid))
        return QVariant();
    switch (role) {
    case Qt::DisplayRole: {
        const QByteArray baText = GetCellText(index.row(), index.column());
        if (index.column() == COLUMN_NAME)
            return QString::fromUtf8(baText);
        return QString::fromLatin1(baText);
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
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromLatin1(section == COLUMN_NAME ? g_pszNameHeader : g_pszTimeHeader);
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return QVariant();
    }
}
