#include "dialogs/DlgFiduciaCertificato.h"

#include <utility>

#include <wx/stattext.h>
#include <wx/xrc/xmlres.h>

#include "forms/ControlIds.h"
#include "forms/DisplayText.h"
#include "settings/Settings.h"

namespace {
// Sixteen pairs a line.
std::string TwoLines(const std::string& hex) {
    std::string grouped = GroupFingerprint(hex);
    if (grouped.size() == 95)
        grouped[47] = '\n';
    return grouped;
}
}  // namespace

CDlgFiduciaCertificato::CDlgFiduciaCertificato(wxWindow* parent, const CTlsPeer& peer,
                                               const std::string& server,
                                               const std::string& pinned) {
    m_bLoaded = wxXmlResource::Get()->LoadDialog(this, parent, "IDD_FIDUCIA_CERTIFICATO");
    if (!m_bLoaded)
        return;
    SetId(IDD_FIDUCIA_CERTIFICATO);
    const std::string fingerprint = TwoLines(peer.fingerprint);
    if (!pinned.empty()) {
        SetTitle("Certificate CHANGED");
        if (auto* intro = dynamic_cast<wxStaticText*>(FindWindow(IDC_STATIC_INTRO)))
            intro->SetLabelText(
                "WARNING: this server's certificate CHANGED since you trusted it. Somebody\n"
                "may stand between you and the server. Trust the new certificate only if\n"
                "the server's administrator confirms that it replaced the old one and\n"
                "gave you its fingerprint.");
    }
    // The names come from the server: bytes, shown as DisplayText does, and
    // never taken for mnemonics. A name cut short shows whole in its tip.
    const std::pair<int, std::string> values[] = {
        {IDC_STATIC_SERVER, server},
        {IDC_STATIC_SUBJECT, peer.subject},
        {IDC_STATIC_ISSUER, peer.issuer},
        {IDC_STATIC_VALIDITY, peer.notBefore + " \u2013 " + peer.notAfter},
        {IDC_STATIC_PROBLEM, peer.problem},
        {IDC_STATIC_FINGERPRINT, fingerprint},
        {IDC_STATIC_PINNED, pinned.empty() ? std::string("none") : TwoLines(pinned)},
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
