#include "templates/Resources.h"

#include "res/Resource.h"

#include <QBitmap>
#include <QColor>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPixmap>

#include <utility>

// Q_INIT_RESOURCE may not stand inside a namespace.
static void InitTarrowResources()
{
    Q_INIT_RESOURCE(tarrow);
}

void EnsureResources()
{
    // The resources live in an object file inside a static library; calling their initialiser
    // from here is what keeps the linker from dropping them.
    static const bool bDone = (InitTarrowResources(), true);
    (void)bDone;
}

QIcon LoadListImage(int nIndex)
{
    EnsureResources();
    constexpr int nImageWidth = 16;
    const QColor crMask((LIST_IMAGES_MASK_RGB >> 16) & 0xFF, (LIST_IMAGES_MASK_RGB >> 8) & 0xFF,
                        LIST_IMAGES_MASK_RGB & 0xFF);
    QIcon icon;
    // The same glyph drawn at twice the size, so a 2x screen shows it sharp rather than enlarged.
    for (const auto& [strFile, nScale] : {std::pair {QStringLiteral(":/res/images/list_images.png"), 1},
                                          std::pair {QStringLiteral(":/res/images/list_images@2x.png"), 2}})
    {
        const QPixmap pixStrip(strFile);
        const int nWidth = nImageWidth * nScale;
        if (pixStrip.isNull() || nIndex < 0 || (nIndex + 1) * nWidth > pixStrip.width())
            break;
        QPixmap pixImage = pixStrip.copy(nIndex * nWidth, 0, nWidth, pixStrip.height());
        pixImage.setMask(pixImage.createMaskFromColor(crMask, Qt::MaskInColor));
        pixImage.setDevicePixelRatio(nScale);
        icon.addPixmap(pixImage);
    }
    return icon;
}

QIcon LoadAppIcon()
{
    EnsureResources();
    QIcon icon;
    for (int nSize : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/res/images/tarrow_%1.png").arg(nSize), QSize(nSize, nSize));
    return icon;
}

QJsonObject FindResourceEntry(const QString& strPath, const char* pszList, int nId)
{
    EnsureResources();
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    const QJsonArray arrEntries =
        QJsonDocument::fromJson(file.readAll()).object().value(QLatin1String(pszList)).toArray();
    for (const QJsonValue& value : arrEntries)
    {
        const QJsonObject objEntry = value.toObject();
        if (objEntry.value("id").toInt() == nId)
            return objEntry;
    }
    return QJsonObject();
}

QString LoadResourceString(int nId)
{
    return FindResourceEntry(QStringLiteral(":/res/strings.json"), "strings", nId).value("text").toString();
}
