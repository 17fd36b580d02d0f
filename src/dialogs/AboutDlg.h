// Help -> About QuenDravalt: icon, version and copyright, one OK button.
#pragma once

#include <wx/dialog.h>

class CAboutDlg : public wxDialog {
public:
    explicit CAboutDlg(wxWindow* parent);

    static constexpr int kDialogId = 100;
};
