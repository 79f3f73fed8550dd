// Identifiers of the windows, controls, menus and commands of the desktop program. They keep
// the numbers of the original resource script, so texts, tests and the automation scripts
// can name a control by number.
#pragma once

enum : int {
    IDD_ABOUT = 100,
    IDS_ABOUTBOX = 101,
    IDD_MAIN = 102,
    IDR_MAINFRAME = 128,
    IDR_LANGUAGE_MENU = 129,

    IDC_SOURCE_PATH = 1000,
    IDC_OUTPUT_PATH = 1001,
    IDC_BROWSE_SOURCE = 1002,
    IDC_BROWSE_OUTPUT = 1003,
    IDC_START = 1004,
    IDC_PROGRESS = 1005,
    IDC_SOURCE_LABEL = 1006,
    IDC_OUTPUT_LABEL = 1007,
    IDC_LANGUAGE = 1008,
    IDC_PROGRESS_TEXT = 1009,
    IDC_QUEUE = 1010,
    IDC_CLEAR_QUEUE = 1011,

    IDM_ABOUTBOX = 0x0010,
    ID_LANG_SIMPLIFIED = 32771,
    ID_LANG_ENGLISH = 32772,
    ID_LANG_SPARE = 32773,
    ID_LANG_TRADITIONAL = 32774,

    PROGRESS_TIMER_ID = 1,
};
