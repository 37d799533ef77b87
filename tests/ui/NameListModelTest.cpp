#include "ui/NameListModel.h"

#include "capture/CapturedNames.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <ctime>
#include <malloc.h>
#include <memory>
#include <string_view>

namespace {

const std::time_t T0 = 1783112405; // July 03 2026 21:00:05 UTC

// The name's bytes seen at t, as the capture hands them over.
bool Add(CNameListModel& model, std::string_view name, std::time_t t = T0)
{
    return model.AddName(name.data(), name.size(), t);
}

class NameListModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pTester =
            std::make_unique<QAbstractItemModelTester>(&m_model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    }

    QList<QByteArray> Names() const
    {
        QList<QByteArray> listNames;
        for (int nRow = 0; nRow < m_model.rowCount(); ++nRow)
            listNames.append(m_model.GetName(nRow));
        return listNames;
    }

    CNameListModel m_model;
    std::unique_ptr<QAbstractItemModelTester> m_pTester;
};

TEST_F(NameListModelTest, TwoLeftAlignedHeadersAndEmptyReadsOutOfRange)
{
    EXPECT_EQ(m_model.columnCount(), 2);
    EXPECT_EQ(m_model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Captured DNS Names"));
    EXPECT_EQ(m_model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Date / Time"));
    EXPECT_FALSE(m_model.headerData(2, Qt::Horizontal).isValid());
    EXPECT_TRUE(m_model.headerData(0, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignLeft);

    ASSERT_TRUE(Add(m_model, "a.example"));
    EXPECT_TRUE(m_model.GetName(-1).isEmpty());
    EXPECT_TRUE(m_model.GetName(1).isEmpty());
    EXPECT_TRUE(m_model.GetCellText(0, 2).isEmpty());
    EXPECT_TRUE(m_model.GetCellText(0, -1).isEmpty());
    EXPECT_FALSE(m_model.AddName(nullptr, 1, T0));
}

// A name is listed, newest first with the time it was first seen, unless the list holds it already
// by the list's rule: the bytes kept exactly, NULs and bytes past ASCII included, only ASCII letters
// alike in either case. How each byte is shown is the presentation form's own table; one is enough
// to see the list uses it.
TEST_F(NameListModelTest, ANameIsListedOnceWithTheTimeItWasFirstSeen)
{
    using namespace std::string_view_literals;
    const struct
    {
        std::string_view name;
        bool bNew;
    } adds[] = {
        {"mail.example.org.cdn.example.net", true},
        {"mail.example.org", true},
        {"mail.example", true},
        {"mail.example.org.cdn", true},
        {"MAIL.EXAMPLE.ORG", false},
        {"Mail.Example.Org", false},
        {"a\0b"sv, true},
        {"a\0c"sv, true},
        {"a", true},
        {"A", false},
        {"\xC3\xA9t\xC3\xA9.example", true},
        {"\xC3\x89t\xC3\x89.example", true},
        {"", true},
        {"", false},
    };
    QSignalSpy spyChanged(&m_model, &QAbstractItemModel::dataChanged);
    QList<QByteArray> listed;
    for (const auto& add : adds)
    {
        EXPECT_EQ(Add(m_model, add.name, add.bNew ? T0 : T0 + 5), add.bNew) << add.name;
        if (add.bNew)
            listed.prepend(QByteArray(add.name.data(), qsizetype(add.name.size())));
    }
    EXPECT_EQ(Names(), listed);
    EXPECT_EQ(spyChanged.count(), 0);
    for (int nRow = 0; nRow < m_model.rowCount(); ++nRow)
        EXPECT_EQ(m_model.GetCellText(nRow, 1), QByteArray("July 03 2026 21:00:05")) << nRow;
    EXPECT_EQ(m_model.data(m_model.index(0, 1)).toString(), QStringLiteral("July 03 2026 21:00:05"));
    EXPECT_EQ(m_model.data(m_model.index(listed.indexOf(QByteArray("a\0c", 3)), 0)).toString(),
              QStringLiteral("a\\000c"));

    // The same names in one batch, as the capture hands them over (looked up several at a time),
    // list the same rows.
    m_model.Clear();
    CCapturedNames batch;
    for (const auto& add : adds)
        batch.Add(add.name, T0);
    m_model.AddNames(batch);
    EXPECT_EQ(Names(), listed);
}

TEST_F(NameListModelTest, ClearForgetsEveryNameAndStampsAnew)
{
    ASSERT_TRUE(Add(m_model, "a.example"));
    ASSERT_TRUE(Add(m_model, "b.example"));
    QSignalSpy spyAboutToReset(&m_model, &QAbstractItemModel::modelAboutToBeReset);
    QSignalSpy spyReset(&m_model, &QAbstractItemModel::modelReset);

    m_model.Clear();
    EXPECT_EQ(spyAboutToReset.count(), 1);
    EXPECT_EQ(spyReset.count(), 1);
    EXPECT_EQ(m_model.rowCount(), 0);
    EXPECT_TRUE(m_model.GetName(0).isEmpty());

    EXPECT_TRUE(Add(m_model, "B.EXAMPLE", T0 + 5));
    EXPECT_TRUE(Add(m_model, "a.example", T0 + 5));
    EXPECT_FALSE(Add(m_model, "b.example", T0 + 5));
    EXPECT_EQ(Names(), (QList<QByteArray> {"a.example", "B.EXAMPLE"}));
    EXPECT_EQ(m_model.GetCellText(0, 1), QByteArray("July 03 2026 21:00:10"));

    m_model.Clear();
    m_model.Clear();
    EXPECT_EQ(m_model.rowCount(), 0);
}

TEST_F(NameListModelTest, NameColumnCarriesTheIconOnceSupplied)
{
    ASSERT_TRUE(Add(m_model, "a.example"));
    ASSERT_TRUE(Add(m_model, "b.example"));
    EXPECT_FALSE(m_model.data(m_model.index(0, 0), Qt::DecorationRole).isValid());

    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::green);
    const QIcon icon(pixmap);
    QSignalSpy spyChanged(&m_model, &QAbstractItemModel::dataChanged);
    m_model.SetNameIcon(icon);

    ASSERT_EQ(spyChanged.count(), 1);
    EXPECT_EQ(spyChanged[0][0].value<QModelIndex>(), m_model.index(0, 0));
    EXPECT_EQ(spyChanged[0][1].value<QModelIndex>(), m_model.index(1, 0));
    ASSERT_TRUE(Add(m_model, "c.example"));
    for (int nRow = 0; nRow < 3; ++nRow)
    {
        const QVariant varIcon = m_model.data(m_model.index(nRow, 0), Qt::DecorationRole);
        ASSERT_TRUE(varIcon.canConvert<QIcon>());
        EXPECT_EQ(varIcon.value<QIcon>().cacheKey(), icon.cacheKey());
        EXPECT_FALSE(m_model.data(m_model.index(nRow, 1), Qt::DecorationRole).isValid());
    }
}

TEST_F(NameListModelTest, PeriodicInsertionShowsABurstInOneStepNewestFirst)
{
    m_model.SetInsertionPeriod(60000);
    ASSERT_TRUE(Add(m_model, "shown.example.org"));
    m_model.FlushInsertions();

    QSignalSpy inserted(&m_model, &QAbstractItemModel::rowsInserted);
    ASSERT_TRUE(Add(m_model, "a.example.org"));
    ASSERT_TRUE(Add(m_model, "b.example.org"));
    // Waiting rows are invisible but already count as listed.
    EXPECT_FALSE(Add(m_model, "A.EXAMPLE.ORG"));
    EXPECT_EQ(m_model.rowCount(), 1);
    EXPECT_EQ(inserted.count(), 0);

    m_model.FlushInsertions();
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_EQ(Names(), (QList<QByteArray> {"b.example.org", "a.example.org", "shown.example.org"}));
    m_model.FlushInsertions();
    EXPECT_EQ(inserted.count(), 1);
}

TEST_F(NameListModelTest, PeriodicInsertionShowsRowsByItselfAndClearDropsWaitingOnes)
{
    m_model.SetInsertionPeriod(20);
    ASSERT_TRUE(Add(m_model, "later.example.org"));
    EXPECT_EQ(m_model.rowCount(), 0);
    EXPECT_TRUE(QTest::qWaitFor([this] { return m_model.rowCount() == 1; }, 5000));

    ASSERT_TRUE(Add(m_model, "dropped.example.org"));
    m_model.Clear();
    // The marker is shown by the next period; the dropped row would have been shown with it.
    ASSERT_TRUE(Add(m_model, "marker.example.org"));
    EXPECT_TRUE(QTest::qWaitFor([this] { return m_model.rowCount() > 0; }, 5000));
    EXPECT_EQ(Names(), QList<QByteArray> {"marker.example.org"});
    EXPECT_TRUE(Add(m_model, "dropped.example.org"));

    // Back to showing each row at once.
    m_model.SetInsertionPeriod(0);
    EXPECT_EQ(m_model.rowCount(), 2);
    EXPECT_TRUE(Add(m_model, "now.example.org"));
    EXPECT_EQ(m_model.rowCount(), 3);
}

TEST_F(NameListModelTest, PeriodicInsertionShowsAQuietRowAtOnceAndHoldsTheRowsThatFollow)
{
    // Far longer than the steps between adding a row and looking, even on a busy machine.
    constexpr int PERIOD_MS = 500;
    m_model.SetInsertionPeriod(PERIOD_MS);
    const auto ShownOnceTheLoopRuns = [this](const char* name) {
        const int nRows = m_model.rowCount();
        EXPECT_TRUE(Add(m_model, name));
        EXPECT_EQ(m_model.rowCount(), nRows); // the rest of its batch may still follow
        QCoreApplication::processEvents();
        return m_model.rowCount() > nRows;
    };

    EXPECT_TRUE(ShownOnceTheLoopRuns("quiet.example.org"));
    EXPECT_FALSE(ShownOnceTheLoopRuns("held.example.org"));
    EXPECT_TRUE(QTest::qWaitFor([this] { return m_model.rowCount() == 2; }, 5000));

    // Quiet again once a whole period has passed since rows were last shown; a shorter period, so
    // that comes soon. This clock starts after the model's, so when it has run out, so has that.
    constexpr int QUIET_MS = 20;
    m_model.SetInsertionPeriod(QUIET_MS);
    QElapsedTimer sinceShown;
    sinceShown.start();
    EXPECT_TRUE(QTest::qWaitFor([&sinceShown] { return sinceShown.hasExpired(QUIET_MS); }, 5000));
    EXPECT_TRUE(ShownOnceTheLoopRuns("quiet-again.example.org"));
}

TEST_F(NameListModelTest, BudgetOfNamesKeepsTheListAndCountsWhatItTurnsAway)
{
    QSignalSpy spyReached(&m_model, &CNameListModel::BudgetReached);
    m_model.SetBudget(3, CNameListModel::BUDGET_NAME_BYTES);
    ASSERT_TRUE(Add(m_model, "a.example"));
    ASSERT_TRUE(Add(m_model, "b.example"));
    ASSERT_TRUE(Add(m_model, "c.example"));
    EXPECT_EQ(spyReached.count(), 0);

    EXPECT_FALSE(Add(m_model, "d.example"));
    EXPECT_FALSE(Add(m_model, "B.EXAMPLE")); // a repeat, not a refusal
    EXPECT_FALSE(Add(m_model, "e.example"));
    EXPECT_FALSE(Add(m_model, "d.example"));
    EXPECT_EQ(m_model.GetRefusedCount(), 3u);
    EXPECT_EQ(spyReached.count(), 1);
    EXPECT_EQ(Names(), (QList<QByteArray> {"c.example", "b.example", "a.example"}));
    // Neither a repeat nor a refused name keeps its time: under a stream of them with ever new
    // seconds the list's memory would grow without bound (by 8 bytes a second, 1.6 MB here).
    const auto HeapInUse = [] {
        const struct mallinfo2 info = mallinfo2();
        return static_cast<long long>(info.uordblks + info.hblkhd);
    };
    const long long nHeapBefore = HeapInUse();
    for (std::time_t t = T0 + 1; t <= T0 + 200000; ++t)
    {
        Add(m_model, "a.example", t);
        Add(m_model, "h.example", t);
    }
    EXPECT_LT(HeapInUse() - nHeapBefore, 400000);

    // Clearing lists new names again; the count of refused ones lasts until the next capture.
    m_model.Clear();
    EXPECT_EQ(m_model.GetRefusedCount(), 200003u);
    for (const char* pszName : {"d.example", "e.example", "f.example"})
        EXPECT_TRUE(Add(m_model, pszName));
    EXPECT_FALSE(Add(m_model, "g.example"));
    EXPECT_EQ(spyReached.count(), 2);
    EXPECT_EQ(m_model.GetRefusedCount(), 200004u);
    m_model.ResetRefusedCount();
    EXPECT_EQ(m_model.GetRefusedCount(), 0u);
}

TEST_F(NameListModelTest, BudgetOfNameBytesTakesTheNameThatFillsItAndNoMore)
{
    QSignalSpy spyReached(&m_model, &CNameListModel::BudgetReached);
    m_model.SetBudget(CNameListModel::BUDGET_NAMES, 10);
    ASSERT_TRUE(Add(m_model, "abcd"));
    EXPECT_FALSE(Add(m_model, "efghijk")); // 11 bytes in all
    EXPECT_EQ(spyReached.count(), 1);
    // Once the user has been told, even a name that would still fit stays out until Clear.
    EXPECT_FALSE(Add(m_model, "efghij"));
    EXPECT_EQ(m_model.GetRefusedCount(), 2u);
    EXPECT_EQ(m_model.rowCount(), 1);

    m_model.Clear();
    ASSERT_TRUE(Add(m_model, "abcd"));
    EXPECT_TRUE(Add(m_model, "efghij")); // exactly 10 bytes
    EXPECT_TRUE(Add(m_model, ""));
    EXPECT_FALSE(Add(m_model, "x"));
    EXPECT_EQ(m_model.rowCount(), 3);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Times are shown in local time: one zone, so they read the same everywhere.
    qputenv("TZ", "UTC0");
    tzset();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
