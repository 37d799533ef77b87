#pragma once

#include "links/LinkControl.h"

// The banner picture as a link: hand cursor, opens its address on a left-button press, looks
// unchanged; named for assistive technology by the text the picture shows.
class CBannerLink : public CLinkControl
{
    Q_OBJECT

public:
    explicit CBannerLink(QObject* parent = nullptr);

protected:
    void PreSubclassWindow() override;
};
