#pragma once

// Identifiers of the program's resources, controls and commands.

// Dialog templates, menus, images, icon, cursor, strings
#define IDD_ABOUTBOX            100
#define IDS_ABOUTBOX            101
#define IDD_MONITOR_DIALOG      102
#define IDR_MAINFRAME_ICON      128
#define IDC_LINK_CURSOR         129
#define IDB_BANNER              130
#define IDR_LIST_POPUP          131
#define IDB_LIST_IMAGES         132
#define IDR_MAIN_MENU           133

// Controls
#define IDOK                    1
#define IDCANCEL                2
#define IDC_RUN                 1000
#define IDC_NAME_LIST           1001
#define IDC_STOP                1002
#define IDC_BANNER              1003
#define IDC_PROMO_1             1004
#define IDC_PROMO_2             1005
#define IDC_ABOUT_NOTICE        1005
#define IDC_ABOUT_URL           1006
#define IDC_INTERFACE           1011
#define IDC_DOWNLOAD_1          1012
#define IDC_DOWNLOAD_2          1013

// Commands
#define IDM_ABOUTBOX            0x0010
#define ID_SAVE_LIST            32771
#define ID_OPEN_URL             32772
#define ID_CLEAR_LIST           32773
#define ID_PRODUCT_PAGE         32774
#define ID_FREEWARE_PAGE        32775
#define ID_OTHER_PRODUCT_1      32776
#define ID_OTHER_PRODUCT_2      32777
#define ID_APP_ABOUT_CMD        32778

// The list's mask colour (0x00808000 as COLORREF: red 0, green 128, blue 128), drawn transparent.
#define LIST_IMAGES_MASK_RGB    0x008080
