#include "dialogs/AboutDlg.h"

#include <wx/xrc/xmlres.h>

CAboutDlg::CAboutDlg(wxWindow* parent) {
    wxXmlResource::GetXRCID("IDD_ABOUTBOX", kDialogId);
    wxXmlResource::Get()->LoadDialog(this, parent, "IDD_ABOUTBOX");
    // The resource's size is the client area, in dialog units.
    SetClientSize(ConvertDialogToPixels(wxSize(235, 55)));
    // OK is the only button: Escape and the close box mean OK too.
    SetEscapeId(wxID_OK);
    SetAffirmativeId(wxID_OK);
    CentreOnParent();
}
