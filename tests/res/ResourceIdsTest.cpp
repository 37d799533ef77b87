// res/ holds each resource twice, as an id in Resource.h and as a name and number in the JSON. The
// two must agree, and the engine must build from the JSON what the names promise: the control or
// command that the code asks for by its id.
#include "res/Resource.h"
#include "templates/DialogTemplate.h"
#include "templates/MenuResource.h"
#include "templates/Resources.h"

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QMenu>
#include <QRegularExpression>
#include <QTest>

class CResourceIdsTest : public QObject
{
    Q_OBJECT

    QMap<QString, int> m_ids; // every constant of Resource.h by name

    QJsonObject Read(const QString& strPath)
    {
        QFile file(strPath);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    // The header's id for the entry's name when the entry carries that same number, else -1.
    int IdOf(const QJsonObject& objEntry) const
    {
        const int nId = m_ids.value(objEntry.value("name").toString(), -1);
        return nId == objEntry.value("id").toInt(-1) ? nId : -1;
    }

    static QByteArray NameOf(const QJsonObject& objEntry) { return objEntry.value("name").toString().toUtf8(); }

private slots:
    void initTestCase()
    {
        QFile header(TARROW_RESOURCE_HEADER);
        QVERIFY(header.open(QIODevice::ReadOnly));
        const QRegularExpression reConstant(R"(constexpr \w+ (\w+) = (\w+);)");
        for (const auto& match : reConstant.globalMatch(QString::fromUtf8(header.readAll())))
            m_ids.insert(match.captured(1), match.captured(2).toInt(nullptr, 0));
        QVERIFY(m_ids.contains("IDOK") && m_ids.contains("ID_APP_ABOUT_CMD"));
        EnsureResources();
    }

    void dialogControlsAreFoundByTheIdsOfTheirNames()
    {
        const QStringList files = QDir(":/res").entryList({"dialog_*.json"});
        QVERIFY(!files.isEmpty());
        for (const QString& strFile : files)
        {
            const QJsonObject objDialog = Read(":/res/" + strFile);
            const int nDialogId = IdOf(objDialog);
            QVERIFY2(nDialogId > 0, NameOf(objDialog));
            QCOMPARE(strFile, QString("dialog_%1.json").arg(nDialogId));

            CDialogTemplate dlgTemplate;
            QVERIFY2(dlgTemplate.Load(nDialogId), qPrintable(dlgTemplate.GetErrorText()));
            QDialog dlg;
            QVERIFY2(dlgTemplate.Create(&dlg), qPrintable(dlgTemplate.GetErrorText()));
            for (const QJsonValue& value : objDialog.value("controls").toArray())
            {
                const QByteArray name = NameOf(value.toObject());
                if (name.isEmpty())
                    continue;
                const QWidget* pControl = GetDlgItem(&dlg, IdOf(value.toObject()));
                QVERIFY2(pControl != nullptr && pControl->objectName() == name, name);
            }
        }
    }

    void menuCommandsCarryTheIdsOfTheirNames()
    {
        const QJsonArray arrMenus = Read(":/res/menus.json").value("menus").toArray();
        QVERIFY(!arrMenus.isEmpty());
        for (const QJsonValue& menu : arrMenus)
        {
            const int nMenuId = IdOf(menu.toObject());
            QVERIFY2(nMenuId > 0, NameOf(menu.toObject()));
            const QJsonArray arrPopups = menu.toObject().value("popups").toArray();
            for (int nPopup = 0; nPopup < arrPopups.size(); ++nPopup)
            {
                const QJsonObject objPopup = arrPopups.at(nPopup).toObject();
                QWidget parent;
                const QMenu* pMenu = CMenuResource::CreatePopup(nMenuId, nPopup, &parent);
                QVERIFY(pMenu != nullptr);
                QCOMPARE(pMenu->title(), objPopup.value("text").toString());
                const QJsonArray arrItems = objPopup.value("items").toArray();
                QCOMPARE(pMenu->actions().size(), arrItems.size());
                for (int i = 0; i < arrItems.size(); ++i)
                {
                    const QJsonObject objItem = arrItems.at(i).toObject();
                    const QAction* pAction = pMenu->actions().at(i);
                    QCOMPARE(pAction->isSeparator(), objItem.value("separator").toBool());
                    if (pAction->isSeparator())
                        continue;
                    QVERIFY2(IdOf(objItem) > 0 && pAction->data().toInt() == IdOf(objItem), NameOf(objItem));
                    QCOMPARE(pAction->text(), objItem.value("text").toString());
                }
            }
        }
    }

    void stringsAreFoundByTheIdsOfTheirNames()
    {
        const QJsonArray arrStrings = Read(":/res/strings.json").value("strings").toArray();
        QVERIFY(!arrStrings.isEmpty());
        for (const QJsonValue& value : arrStrings)
        {
            QVERIFY2(IdOf(value.toObject()) > 0, NameOf(value.toObject()));
            QCOMPARE(LoadResourceString(IdOf(value.toObject())), value.toObject().value("text").toString());
        }
    }
};

QTEST_MAIN(CResourceIdsTest)
#include "ResourceIdsTest.moc"
