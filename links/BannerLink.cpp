#include "links/BannerLink.h"

CBannerLink::CBannerLink(QObject* parent) : CLinkControl(parent)
{}
