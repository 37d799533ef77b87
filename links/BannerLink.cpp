#include "links/BannerLink.h"

#include "ProjectFacts.h"

CBannerLink::CBannerLink(QObject* parent) : CLinkControl(parent)
{}

void CBannerLink::PreSubclassWindow()
{
    // A picture has no text of its own: a screen reader reads what the banner shows (drawn by
    // scripts/make-art.sh).
    QLabel* pControl = GetControl();
    if (pControl->accessibleName().isEmpty())
        pControl->setAccessibleName(QStringLiteral(TARROW_APP_NAME ": Watches the DNS queries on your network "
                                                                   "and lists every name asked for."));
}
