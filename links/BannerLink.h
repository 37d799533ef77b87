#pragma once

#include "links/LinkControl.h"

// The banner picture as a link: hand cursor, opens its address on a left-button press, looks
// unchanged.
class CBannerLink : public CLinkControl
{
    Q_OBJECT

public:
    explicit CBannerLink(QObject* parent = nullptr);
};
