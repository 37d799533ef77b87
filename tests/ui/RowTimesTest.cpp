#include "ui/RowTimes.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

void SetZone(const char* pszZone)
{
    setenv("TZ", pszZone, 1);
    tzset();
}

const std::time_t T_JULY = 1783112405; // July 03 2026 21:00:05 UTC

} // namespace

// A row shows the local time of its arrival, whatever the zone becomes afterwards; rows of one second
// share an entry, and an earlier entry still reads right after later ones were made.
TEST(RowTimesTest, EntriesKeepTheLocalTimeOfTheirSecond)
{
    SetZone("UTC0");
    const std::time_t t = T_JULY;
    CRowTimes times;
    const uint32_t nFirst = times.Index(t);
    EXPECT_EQ(times.Index(t), nFirst);
    const uint32_t nNext = times.Index(t + 1);
    EXPECT_NE(nNext, nFirst);

    SetZone("JST-9");
    EXPECT_EQ(times.Text(nNext), QByteArray("July 03 2026 21:00:06"));
    EXPECT_EQ(times.Text(nFirst), QByteArray("July 03 2026 21:00:05"));
    EXPECT_EQ(CRowTimes::Format(t), QByteArray("July 04 2026 06:00:05"));

    times.Release();
    EXPECT_EQ(times.Index(t), 0u);
    EXPECT_EQ(times.Text(0), QByteArray("July 04 2026 06:00:05"));
    SetZone("UTC0");
    // English months, two-digit fields and a 24-hour clock.
    EXPECT_EQ(CRowTimes::Format(1796639656), QByteArray("December 07 2026 10:34:16"));
    EXPECT_EQ(CRowTimes::Format(1798761600), QByteArray("January 01 2027 00:00:00"));
}

// The window takes its locale from the environment at start-up; this repeats that step with a
// German locale in place, which a private build makes available when the system has none.
TEST(RowTimesTest, TextsStayEnglishUnderAGermanLocale)
{
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

    SetZone("UTC0");
    const std::string strSavedLocale = std::setlocale(LC_ALL, nullptr);
    const bool bHadLcAll = qEnvironmentVariableIsSet("LC_ALL");
    const QByteArray baSavedLcAll = qgetenv("LC_ALL");
    qputenv("LC_ALL", "de_DE.UTF-8");
    ASSERT_NE(std::setlocale(LC_ALL, ""), nullptr);

    std::tm tmJuly {};
    localtime_r(&T_JULY, &tmJuly);
    char szPlain[128];
    std::strftime(szPlain, sizeof(szPlain), "%B", &tmJuly);
    const QByteArray baFormatted = CRowTimes::Format(T_JULY);
    CRowTimes times;
    const QByteArray baRowTime = times.Text(times.Index(T_JULY));

    std::setlocale(LC_ALL, strSavedLocale.c_str());
    if (bHadLcAll)
        qputenv("LC_ALL", baSavedLcAll);
    else
        qunsetenv("LC_ALL");
    qunsetenv("LOCPATH");

    EXPECT_STREQ(szPlain, "Juli");
    EXPECT_EQ(baFormatted, QByteArray("July 03 2026 21:00:05"));
    EXPECT_EQ(baRowTime, QByteArray("July 03 2026 21:00:05"));
}
