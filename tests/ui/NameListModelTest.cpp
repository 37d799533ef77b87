#include "ui/NameListModel.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

namespace {

std::time_t LocalTime(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond)
{
    std::tm tmLocal {};
    tmLocal.tm_year = nYear - 1900;
    tmLocal.tm_mon = nMonth - 1;
    tmLocal.tm_mday = nDay;
    tmLocal.tm_hour = nHour;
    tmLocal.tm_min = nMinute;
    tmLocal.tm_sec = nSecond;
    tmLocal.tm_isdst = -1;
    return std::mktime(&tmLocal);
}

// Waits until the wall clock has moved on to a new second, so a second stamp can be told apart.
void WaitForNextSecond()
{
    const std::time_t tStart = std::time(nullptr);
    while (std::time(nullptr) == tStart)
        QThread::msleep(20);
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

TEST_F(NameListModelTest, StartsEmptyWithTwoLeftAlignedHeaders)
{
    EXPECT_EQ(m_model.rowCount(), 0);
    EXPECT_EQ(m_model.columnCount(), 2);
    EXPECT_EQ(m_model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Captured DNS Names"));
    EXPECT_EQ(m_model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Date / Time"));
    EXPECT_FALSE(m_model.headerData(2, Qt::Horizontal).isValid());
    const Qt::Alignment alignHeader =
        m_model.headerData(0, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>();
    EXPECT_TRUE(alignHeader & Qt::AlignLeft);
}

TEST_F(NameListModelTest, FirstNameBecomesRowZeroWithTheCurrentTime)
{
    QSignalSpy spyInserted(&m_model, &QAbstractItemModel::rowsInserted);
    const std::time_t tBefore = std::time(nullptr);
    ASSERT_TRUE(m_model.AddName("www.example.com"));
    const std::time_t tAfter = std::time(nullptr);

    ASSERT_EQ(m_model.rowCount(), 1);
    ASSERT_EQ(spyInserted.count(), 1);
    EXPECT_FALSE(spyInserted[0][0].value<QModelIndex>().isValid());
    EXPECT_EQ(spyInserted[0][1].toInt(), 0);
    EXPECT_EQ(spyInserted[0][2].toInt(), 0);

    EXPECT_EQ(m_model.GetName(0), QByteArray("www.example.com"));
    EXPECT_EQ(m_model.data(m_model.index(0, 0)).toString(), QStringLiteral("www.example.com"));
    const QByteArray baTime = m_model.GetCellText(0, 1);
    EXPECT_TRUE(baTime == CNameListModel::FormatTimeText(tBefore) || baTime == CNameListModel::FormatTimeText(tAfter))
        << baTime.constData();
    EXPECT_EQ(m_model.data(m_model.index(0, 1)).toString(), QString::fromLatin1(baTime));
}

TEST_F(NameListModelTest, PrefixesInEitherDirectionAreBothListedNewestFirst)
{
    EXPECT_TRUE(m_model.AddName("mail.example.org.cdn.example.net"));
    EXPECT_TRUE(m_model.AddName("mail.example.org"));
    EXPECT_TRUE(m_model.AddName("mail.example"));
    EXPECT_EQ(Names(), (QList<QByteArray> {"mail.example", "mail.example.org", "mail.example.org.cdn.example.net"}));

    CNameListModel modelOther;
    EXPECT_TRUE(modelOther.AddName("mail.example.org"));
    EXPECT_TRUE(modelOther.AddName("mail.example.org.cdn.example.net"));
    EXPECT_EQ(modelOther.GetName(0), QByteArray("mail.example.org.cdn.example.net"));
    EXPECT_EQ(modelOther.GetName(1), QByteArray("mail.example.org"));
}

TEST_F(NameListModelTest, RepeatsAndCaseVariantsNeverAddARowOrRetime)
{
    ASSERT_TRUE(m_model.AddName("mail.example.org"));
    ASSERT_TRUE(m_model.AddName("other.example.org"));
    const QByteArray baFirstTime = m_model.GetCellText(1, 1);
    QSignalSpy spyInserted(&m_model, &QAbstractItemModel::rowsInserted);
    QSignalSpy spyChanged(&m_model, &QAbstractItemModel::dataChanged);

    WaitForNextSecond();
    EXPECT_FALSE(m_model.AddName("MAIL.EXAMPLE.ORG"));
    EXPECT_FALSE(m_model.AddName("mail.example.org"));
    EXPECT_FALSE(m_model.AddName("Mail.Example.Org"));

    EXPECT_EQ(spyInserted.count(), 0);
    EXPECT_EQ(spyChanged.count(), 0);
    EXPECT_EQ(Names(), (QList<QByteArray> {"other.example.org", "mail.example.org"}));
    EXPECT_EQ(m_model.GetCellText(1, 1), baFirstTime);
}

TEST_F(NameListModelTest, ClearForgetsEveryNameAndStampsAnew)
{
    ASSERT_TRUE(m_model.AddName("a.example"));
    ASSERT_TRUE(m_model.AddName("b.example"));
    const QByteArray baOldTime = m_model.GetCellText(0, 1);
    QSignalSpy spyAboutToReset(&m_model, &QAbstractItemModel::modelAboutToBeReset);
    QSignalSpy spyReset(&m_model, &QAbstractItemModel::modelReset);

    m_model.Clear();
    EXPECT_EQ(spyAboutToReset.count(), 1);
    EXPECT_EQ(spyReset.count(), 1);
    EXPECT_EQ(m_model.rowCount(), 0);
    EXPECT_TRUE(m_model.GetName(0).isEmpty());

    WaitForNextSecond();
    EXPECT_TRUE(m_model.AddName("B.EXAMPLE"));
    EXPECT_TRUE(m_model.AddName("a.example"));
    EXPECT_FALSE(m_model.AddName("b.example"));
    EXPECT_EQ(Names(), (QList<QByteArray> {"a.example", "B.EXAMPLE"}));
    EXPECT_NE(m_model.GetCellText(0, 1), baOldTime);

    m_model.Clear();
    m_model.Clear();
    EXPECT_EQ(m_model.rowCount(), 0);
}

TEST_F(NameListModelTest, EmptyNameIsListedOnce)
{
    ASSERT_TRUE(m_model.AddName("a.example"));
    EXPECT_TRUE(m_model.AddName(""));
    EXPECT_FALSE(m_model.AddName(""));
    EXPECT_FALSE(m_model.AddName("x", 0));
    ASSERT_EQ(m_model.rowCount(), 2);
    EXPECT_TRUE(m_model.GetName(0).isEmpty());
    EXPECT_EQ(m_model.data(m_model.index(0, 0)).toString(), QString());
    EXPECT_FALSE(m_model.GetCellText(0, 1).isEmpty());
    EXPECT_FALSE(m_model.AddName(nullptr));
    EXPECT_EQ(m_model.rowCount(), 2);
}

TEST_F(NameListModelTest, StoresBytesExactlyAndShowsThemInTheirPresentationForm)
{
    const char szInvalid[] = "bad\xFF.example";
    const char achWithNul[] = {'a', '\0', 'b'};
    const char achOtherNul[] = {'a', '\0', 'c'};
    ASSERT_TRUE(m_model.AddName(szInvalid));
    ASSERT_TRUE(m_model.AddName("\xC3\xA9t\xC3\xA9.example"));
    ASSERT_TRUE(m_model.AddName(achWithNul, sizeof(achWithNul)));
    ASSERT_TRUE(m_model.AddName(achOtherNul, sizeof(achOtherNul)));
    EXPECT_TRUE(m_model.AddName("a"));
    EXPECT_FALSE(m_model.AddName("A", 1));

    EXPECT_EQ(m_model.GetName(1), QByteArray(achOtherNul, 3));
    EXPECT_EQ(m_model.GetName(2), QByteArray(achWithNul, 3));
    EXPECT_EQ(m_model.GetName(3), QByteArray("\xC3\xA9t\xC3\xA9.example"));
    EXPECT_EQ(m_model.GetName(4), QByteArray(szInvalid));
    EXPECT_EQ(m_model.data(m_model.index(1, 0)).toString(), QStringLiteral("a\\000c"));
    EXPECT_EQ(m_model.data(m_model.index(3, 0)).toString(), QStringLiteral("\\195\\169t\\195\\169.example"));
    EXPECT_EQ(m_model.GetCellText(4, 0), QByteArray("bad\\255.example"));
}

TEST_F(NameListModelTest, OutOfRangeReadsAreEmpty)
{
    ASSERT_TRUE(m_model.AddName("a.example"));
    EXPECT_TRUE(m_model.GetName(-1).isEmpty());
    EXPECT_TRUE(m_model.GetName(1).isEmpty());
    EXPECT_TRUE(m_model.GetCellText(0, 2).isEmpty());
    EXPECT_TRUE(m_model.GetCellText(0, -1).isEmpty());
    EXPECT_FALSE(m_model.data(QModelIndex()).isValid());
    EXPECT_EQ(m_model.rowCount(m_model.index(0, 0)), 0);
    EXPECT_EQ(m_model.columnCount(m_model.index(0, 0)), 0);
}

TEST_F(NameListModelTest, NameColumnCarriesTheIconOnceSupplied)
{
    ASSERT_TRUE(m_model.AddName("a.example"));
    ASSERT_TRUE(m_model.AddName("b.example"));
    EXPECT_FALSE(m_model.data(m_model.index(0, 0), Qt::DecorationRole).isValid());

    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::green);
    const QIcon icon(pixmap);
    QSignalSpy spyChanged(&m_model, &QAbstractItemModel::dataChanged);
    m_model.SetNameIcon(icon);

    ASSERT_EQ(spyChanged.count(), 1);
    EXPECT_EQ(spyChanged[0][0].value<QModelIndex>(), m_model.index(0, 0));
    EXPECT_EQ(spyChanged[0][1].value<QModelIndex>(), m_model.index(1, 0));
    ASSERT_TRUE(m_model.AddName("c.example"));
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
    ASSERT_TRUE(m_model.AddName("shown.example.org"));
    m_model.FlushInsertions();

    QSignalSpy inserted(&m_model, &QAbstractItemModel::rowsInserted);
    ASSERT_TRUE(m_model.AddName("a.example.org"));
    ASSERT_TRUE(m_model.AddName("b.example.org"));
    // Waiting rows are invisible but already count as listed.
    EXPECT_FALSE(m_model.AddName("A.EXAMPLE.ORG"));
    EXPECT_EQ(m_model.rowCount(), 1);
    EXPECT_EQ(inserted.count(), 0);

    m_model.FlushInsertions();
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted[0][1].toInt(), 0);
    EXPECT_EQ(inserted[0][2].toInt(), 1);
    EXPECT_EQ(Names(), (QList<QByteArray> {"b.example.org", "a.example.org", "shown.example.org"}));
    m_model.FlushInsertions();
    EXPECT_EQ(inserted.count(), 1);
}

TEST_F(NameListModelTest, PeriodicInsertionShowsRowsByItselfAndClearDropsWaitingOnes)
{
    m_model.SetInsertionPeriod(20);
    ASSERT_TRUE(m_model.AddName("later.example.org"));
    EXPECT_EQ(m_model.rowCount(), 0);
    EXPECT_TRUE(QTest::qWaitFor([this] { return m_model.rowCount() == 1; }, 5000));

    ASSERT_TRUE(m_model.AddName("dropped.example.org"));
    m_model.Clear();
    // The marker is shown by the next period; the dropped row would have been shown with it.
    ASSERT_TRUE(m_model.AddName("marker.example.org"));
    EXPECT_TRUE(QTest::qWaitFor([this] { return m_model.rowCount() > 0; }, 5000));
    EXPECT_EQ(Names(), QList<QByteArray> {"marker.example.org"});
    EXPECT_TRUE(m_model.AddName("dropped.example.org"));

    // Back to showing each row at once.
    m_model.SetInsertionPeriod(0);
    EXPECT_EQ(m_model.rowCount(), 2);
    EXPECT_TRUE(m_model.AddName("now.example.org"));
    EXPECT_EQ(m_model.rowCount(), 3);
}

TEST_F(NameListModelTest, PeriodicInsertionShowsAQuietRowAtOnceAndHoldsTheRowsThatFollow)
{
    // Far longer than the steps between adding a row and looking, even on a busy machine.
    constexpr int PERIOD_MS = 500;
    m_model.SetInsertionPeriod(PERIOD_MS);
    const auto ShownOnceTheLoopRuns = [this](const char* name) {
        const int nRows = m_model.rowCount();
        EXPECT_TRUE(m_model.AddName(name));
        EXPECT_EQ(m_model.rowCount(), nRows); // the rest of its batch may still follow
        QCoreApplication::processEvents();
        return m_model.rowCount() > nRows;
    };

    EXPECT_TRUE(ShownOnceTheLoopRuns("quiet.example.org"));
    EXPECT_FALSE(ShownOnceTheLoopRuns("held.example.org"));
    EXPECT_TRUE(QTest::qWaitFor([this] { return m_model.rowCount() == 2; }, 5000));
    QTest::qWait(PERIOD_MS);
    EXPECT_TRUE(ShownOnceTheLoopRuns("quiet-again.example.org"));
}

TEST_F(NameListModelTest, BudgetOfNamesKeepsTheListAndCountsWhatItTurnsAway)
{
    QSignalSpy spyReached(&m_model, &CNameListModel::BudgetReached);
    m_model.SetBudget(3, CNameListModel::BUDGET_NAME_BYTES);
    ASSERT_TRUE(m_model.AddName("a.example"));
    ASSERT_TRUE(m_model.AddName("b.example"));
    ASSERT_TRUE(m_model.AddName("c.example"));
    EXPECT_EQ(spyReached.count(), 0);

    EXPECT_FALSE(m_model.AddName("d.example"));
    EXPECT_FALSE(m_model.AddName("B.EXAMPLE")); // a repeat, not a refusal
    EXPECT_FALSE(m_model.AddName("e.example"));
    EXPECT_FALSE(m_model.AddName("d.example"));
    EXPECT_EQ(m_model.GetRefusedCount(), 3u);
    EXPECT_EQ(spyReached.count(), 1);
    EXPECT_EQ(Names(), (QList<QByteArray> {"c.example", "b.example", "a.example"}));
    // Neither a repeat nor a refused name keeps its time, however many new seconds they bring.
    const size_t nTimes = m_model.GetRowTimes().GetCount();
    for (std::time_t t = 1; t <= 100; ++t)
    {
        m_model.AddName("a.example", 9, t);
        m_model.AddName("h.example", 9, t);
    }
    EXPECT_EQ(m_model.GetRowTimes().GetCount(), nTimes);

    // Clearing lists new names again; the count of refused ones lasts until the next capture.
    m_model.Clear();
    EXPECT_EQ(m_model.GetRefusedCount(), 103u);
    for (const char* pszName : {"d.example", "e.example", "f.example"})
        EXPECT_TRUE(m_model.AddName(pszName));
    EXPECT_FALSE(m_model.AddName("g.example"));
    EXPECT_EQ(spyReached.count(), 2);
    EXPECT_EQ(m_model.GetRefusedCount(), 104u);
    m_model.ResetRefusedCount();
    EXPECT_EQ(m_model.GetRefusedCount(), 0u);
}

TEST_F(NameListModelTest, BudgetOfNameBytesTakesTheNameThatFillsItAndNoMore)
{
    QSignalSpy spyReached(&m_model, &CNameListModel::BudgetReached);
    m_model.SetBudget(CNameListModel::BUDGET_NAMES, 10);
    ASSERT_TRUE(m_model.AddName("abcd"));
    EXPECT_FALSE(m_model.AddName("efghijk")); // 11 bytes in all
    EXPECT_EQ(spyReached.count(), 1);
    // Once the user has been told, even a name that would still fit stays out until Clear.
    EXPECT_FALSE(m_model.AddName("efghij"));
    EXPECT_EQ(m_model.GetRefusedCount(), 2u);
    EXPECT_EQ(m_model.rowCount(), 1);

    m_model.Clear();
    ASSERT_TRUE(m_model.AddName("abcd"));
    EXPECT_TRUE(m_model.AddName("efghij")); // exactly 10 bytes
    EXPECT_TRUE(m_model.AddName(""));
    EXPECT_FALSE(m_model.AddName("x"));
    EXPECT_EQ(m_model.rowCount(), 3);
}

TEST(NameListModelTimeText, EnglishMonthTwoDigitFieldsAnd24HourClock)
{
    EXPECT_EQ(CNameListModel::FormatTimeText(LocalTime(2026, 7, 3, 21, 0, 5)), QByteArray("July 03 2026 21:00:05"));
    EXPECT_EQ(CNameListModel::FormatTimeText(LocalTime(2026, 12, 7, 10, 34, 16)),
              QByteArray("December 07 2026 10:34:16"));
    EXPECT_EQ(CNameListModel::FormatTimeText(LocalTime(2027, 1, 1, 0, 0, 0)), QByteArray("January 01 2027 00:00:00"));
}

// The application object takes its locale from the environment at start-up; this repeats that step
// with a German locale in place, which a private build makes available when the system has none.
TEST(NameListModelTimeText, StaysEnglishUnderAGermanLocale)
{
    ASSERT_NE(qApp, nullptr);
    QTemporaryDir dirLocales;
    if (locale_t hGerman = newlocale(LC_ALL_MASK, "de_DE.UTF-8", static_cast<locale_t>(nullptr)))
    {
        freelocale(hGerman);
    }
    else
    {
        const QString strLocaledef = QStandardPaths::findExecutable(QStringLiteral("localedef"));
        if (strLocaledef.isEmpty())
            GTEST_SKIP() << "no de_DE.UTF-8 locale and no localedef to build one";
        ASSERT_TRUE(dirLocales.isValid());
        QProcess procLocaledef;
        procLocaledef.start(strLocaledef,
                            {QStringLiteral("-i"), QStringLiteral("de_DE"), QStringLiteral("-f"),
                             QStringLiteral("UTF-8"), dirLocales.filePath(QStringLiteral("de_DE.UTF-8"))});
        if (!procLocaledef.waitForFinished(60000) || procLocaledef.exitCode() != 0)
            GTEST_SKIP() << "localedef could not build de_DE.UTF-8: "
                         << procLocaledef.readAllStandardError().constData();
        qputenv("LOCPATH", QFile::encodeName(dirLocales.path()));
    }

    const std::string strSavedLocale = std::setlocale(LC_ALL, nullptr);
    const bool bHadLcAll = qEnvironmentVariableIsSet("LC_ALL");
    const QByteArray baSavedLcAll = qgetenv("LC_ALL");
    qputenv("LC_ALL", "de_DE.UTF-8");
    ASSERT_NE(std::setlocale(LC_ALL, ""), nullptr);

    const std::time_t tJuly = LocalTime(2026, 7, 3, 21, 0, 5);
    std::tm tmJuly {};
    localtime_r(&tJuly, &tmJuly);
    char szPlain[128];
    std::strftime(szPlain, sizeof(szPlain), "%B", &tmJuly);
    const QByteArray baFormatted = CNameListModel::FormatTimeText(tJuly);

    CNameListModel model;
    model.AddName("www.example.de");
    const QByteArray baRowTime = model.GetCellText(0, 1);

    std::setlocale(LC_ALL, strSavedLocale.c_str());
    if (bHadLcAll)
        qputenv("LC_ALL", baSavedLcAll);
    else
        qunsetenv("LC_ALL");
    qunsetenv("LOCPATH");

    EXPECT_STREQ(szPlain, "Juli");
    EXPECT_EQ(baFormatted, QByteArray("July 03 2026 21:00:05"));
    const QList<QByteArray> listMonths {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
    EXPECT_TRUE(listMonths.contains(baRowTime.left(baRowTime.indexOf(' ')))) << baRowTime.constData();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
