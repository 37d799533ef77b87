#include "links/Pages.h"

#include "ProjectFacts.h"

const char PAGE_MAKER_HOME[] = TARROW_HOMEPAGE;
const char PAGE_PRODUCT[] = TARROW_HOMEPAGE "tarrow/";
const char PAGE_FREEWARE[] = TARROW_HOMEPAGE "freeware/";
const char PAGE_OTHER_PRODUCT[] = TARROW_HOMEPAGE "keelwatch/";
