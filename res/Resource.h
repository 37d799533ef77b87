#pragma once

// Identifiers of the program's resources, controls and commands. Constants, not macros, so that
// the standard ids (IDOK, IDCANCEL) are defined here once and clash with nothing.

// Dialog templates, menus, images, icon, cursor, strings
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDD_MONITOR_DIALOG = 102;
constexpr int IDR_MAINFRAME_ICON = 128;
constexpr int IDC_LINK_CURSOR = 129;
constexpr int IDB_BANNER = 130;
constexpr int IDR_LIST_POPUP = 131;
constexpr int IDB_LIST_IMAGES = 132;
constexpr int IDR_MAIN_MENU = 133;
constexpr int IDS_NO_CAPTURE_RIGHT = 134;
constexpr int IDS_LIST_FULL = 135;
constexpr int IDS_LIST_FULL_MORE = 136;
constexpr int IDS_QUERY_MISSED = 137;
constexpr int IDS_QUERIES_MISSED = 138;
constexpr int IDS_SAVE_AS_TITLE = 139;
constexpr int IDS_SAVE_AS_FILTER = 140;
constexpr int IDS_CONFIRM_SAVE_AS_TITLE = 141;
constexpr int IDS_CONFIRM_REPLACE = 142;
constexpr int IDS_NOT_A_HOST_NAME = 143;
constexpr int IDS_NO_BROWSER = 144;
constexpr int IDS_COPY = 145;
constexpr int IDS_SAVE_FAILED = 146;
constexpr int IDS_SAVE_IS_LINK = 147;
constexpr int IDS_SAVE_NOT_REGULAR = 148;
constexpr int IDS_SAVE_OTHERS_FILE = 149;
constexpr int IDS_SAVE_NAME_TAKEN = 150;
constexpr int IDS_NAME_COLUMN = 151;
constexpr int IDS_TIME_COLUMN = 152;

// Controls
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDC_RUN = 1000;
constexpr int IDC_NAME_LIST = 1001;
constexpr int IDC_STOP = 1002;
constexpr int IDC_BANNER = 1003;
constexpr int IDC_PROMO_1 = 1004;
constexpr int IDC_PROMO_2 = 1005;
constexpr int IDC_ABOUT_NOTICE = 1005;
constexpr int IDC_ABOUT_URL = 1006;
constexpr int IDC_INTERFACE = 1011;
constexpr int IDC_DOWNLOAD_1 = 1012;
constexpr int IDC_DOWNLOAD_2 = 1013;

// Commands
constexpr int IDM_ABOUTBOX = 0x0010;
constexpr int ID_SAVE_LIST = 32771;
constexpr int ID_OPEN_URL = 32772;
constexpr int ID_CLEAR_LIST = 32773;
constexpr int ID_PRODUCT_PAGE = 32774;
constexpr int ID_FREEWARE_PAGE = 32775;
constexpr int ID_OTHER_PRODUCT_1 = 32776;
constexpr int ID_OTHER_PRODUCT_2 = 32777;
constexpr int ID_APP_ABOUT_CMD = 32778;

// The list's mask colour (0x00808000 as COLORREF: red 0, green 128, blue 128), drawn transparent.
constexpr unsigned LIST_IMAGES_MASK_RGB = 0x008080;
