// Template and control identifiers of the three modal forms. Each XRC object
// carries its number as its name, so XRC hands out exactly these ids.
#pragma once

enum : int {
    IDD_CONFIGURATION = 130,
    IDD_CANCELLA_SINGOLO_USER = 131,
    IDD_CANCELLA_GLOBALE = 133,
};

enum : int {
    IDC_EDIT_SERVER_IP = 1000,
    IDC_EDIT_PAUSE = 1001,
    IDC_SET = 1002,
    IDC_EDIT_PORT = 1003,
    IDC_DELETE = 1004,
    IDC_EDIT_USER_ACCOUNT = 1005,
    IDC_EDIT_USER_PASSWORD = 1006,
    IDC_DATETIMEPICKER = 1008,
    IDC_LIST_USERS = 1009,
};
