// The Configuration form: server address, port and the pause between run steps.
#pragma once

#include <string>

#include "dialogs/AcceptingDialog.h"

class CDlgConfigura : public CAcceptingDialog {
public:
    explicit CDlgConfigura(wxWindow* parent);

    // Bytes as the settings hold them; filled in before ShowModal, read after OK.
    std::string m_strServerIP;
    std::string m_strPause;
    std::string m_strPort;
};
