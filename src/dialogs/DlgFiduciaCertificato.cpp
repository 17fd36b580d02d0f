#include "dialogs/DlgFiduciaCertificato.h"

#include <utility>

#include <wx/stattext.h>
#include <wx/xrc/xmlres.h>

#include "forms/ControlIds.h"
#include "forms/DisplayText.h"
#include "settings/Settings.h"

CDlgFiduciaCertificato::CDlgFiduciaCertificato(wxWindow* parent, const CTlsPeer& peer,
                                               const std::string& server) {
    m_bLoaded = wxXmlResource::Get()->LoadDialog(this, parent, "IDD_FIDUCIA_CERTIFICATO");
    if (!m_bLoaded)
        return;
    SetId(IDD_FIDUCIA_CERTIFICATO);
    std::string fingerprint = GroupFingerprint(peer.fingerprint);
    if (fingerprint.size() == 95)
        fingerprint[47] = '\n';  // sixteen pairs a line
    // The names come from the server: bytes, shown as DisplayText does, and
    // never taken for mnemonics. A name cut short shows whole in its tip.
    const std::pair<int, std::string> values[] = {
        {IDC_STATIC_SERVER, server},
        {IDC_STATIC_SUBJECT, peer.subject},
        {IDC_STATIC_ISSUER, peer.issuer},
        {IDC_STATIC_VALIDITY, peer.notBefore + " \u2013 " + peer.notAfter},
        {IDC_STATIC_PROBLEM, peer.problem},
        {IDC_STATIC_FINGERPRINT, fingerprint},
    };
    for (const auto& [id, text] : values) {
        if (auto* label = dynamic_cast<wxStaticText*>(FindWindow(id))) {
            label->SetLabelText(BytesToDisplay(text));
            label->SetToolTip(BytesToDisplay(text));
        }
    }
    Bind(wxEVT_BUTTON, &CDlgFiduciaCertificato::OnTrust, this, IDC_TRUST);
}

void CDlgFiduciaCertificato::OnTrust(wxCommandEvent&) {
    // EndDialog() sets no return code for a form that is not modal.
    SetReturnCode(wxID_OK);
    EndDialog(wxID_OK);
}
