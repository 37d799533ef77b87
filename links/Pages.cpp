#include "links/Pages.h"

const char PAGE_MAKER_HOME[] = "https://merrow.example.org/";
const char PAGE_PRODUCT[] = "https://merrow.example.org/tarrow/";
const char PAGE_FREEWARE[] = "https://merrow.example.org/freeware/";
const char PAGE_OTHER_PRODUCT[] = "https://merrow.example.org/keelwatch/";
