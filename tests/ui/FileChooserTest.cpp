// The real Save As chooser, driven as a user would under a real X server (xvfb-run): the single
// "Text Files (*.txt)" filter, no suffix of its own, and its question before replacing the typed name.
#include "common/ModalAnswer.h"
#include "ui/MonitorDlg.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

void TypeAndSave(QFileDialog* pDialog, const QString& strName)
{
    auto* pEdit = pDialog->findChild<QLineEdit*>("fileNameEdit");
    QVERIFY(pEdit);
    pEdit->setText(strName);
    QTest::keyClick(pEdit, Qt::Key_Return);
}

} // namespace

class CFileChooserTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() == "offscreen")
            QSKIP("the real chooser needs an X server: run under xvfb-run");
    }

    void offersOnlyTextFilesAndAddsNoSuffix()
    {
        QTemporaryDir dir;
        QStringList filters;
        OnNextModal<QFileDialog>([&](QFileDialog* pDialog) {
            filters = pDialog->nameFilters();
            pDialog->setDirectory(dir.path());
            TypeAndSave(pDialog, "capture");
        });
        const QString strChosen = CMonitorDlg::ChooseSaveFile(nullptr);
        QCOMPARE(filters, QStringList {"Text Files (*.txt)"});
        QCOMPARE(strChosen, dir.filePath("capture"));
    }

    void asksBeforeReplacingTheTypedName()
    {
        QTemporaryDir dir;
        QFile existing(dir.filePath("old.log"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();

        // "No" keeps the chooser open; the user then cancels.
        bool bAsked = false;
        OnNextModal<QFileDialog>([&](QFileDialog* pDialog) {
            pDialog->setDirectory(dir.path());
            OnNextModal<QMessageBox>(
                [&](QMessageBox* pBox) {
                    bAsked = true;
                    pBox->button(QMessageBox::No)->click();
                    QTimer::singleShot(100, pDialog, &QDialog::reject);
                },
                pDialog);
            TypeAndSave(pDialog, "old.log");
        });
        QCOMPARE(CMonitorDlg::ChooseSaveFile(nullptr), QString());
        QVERIFY(bAsked);

        OnNextModal<QFileDialog>([&](QFileDialog* pDialog) {
            pDialog->setDirectory(dir.path());
            OnNextModal<QMessageBox>([](QMessageBox* pBox) { pBox->button(QMessageBox::Yes)->click(); }, pDialog);
            TypeAndSave(pDialog, "old.log");
        });
        QCOMPARE(CMonitorDlg::ChooseSaveFile(nullptr), dir.filePath("old.log"));
    }
};

QTEST_MAIN(CFileChooserTest)
#include "FileChooserTest.moc"
