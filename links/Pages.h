#pragma once

// The fixed pages the program opens. The maker and its products are fictional; every address is on
// a domain reserved for examples.
extern const char PAGE_MAKER_HOME[];    // banner, second promotional line, About box links
extern const char PAGE_PRODUCT[];       // this tool's own page
extern const char PAGE_FREEWARE[];      // the maker's freeware page
extern const char PAGE_OTHER_PRODUCT[]; // the product named on the first promotional line
