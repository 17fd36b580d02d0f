// "Untrusted certificate": what a run learned of a server's certificate that
// nobody trusts, and the administrator's choice to trust it or not. When
// another certificate was trusted for the server before, the form warns that
// it CHANGED and shows both fingerprints.
#pragma once

#include <string>

#include <wx/dialog.h>

#include "platform/AsyncSocket.h"

// Ends with wxID_OK on "Trust" only. Unlike the accepting forms, Enter and the
// first focus belong to "Do not trust": nothing is trusted by a stray key.
class CDlgFiduciaCertificato : public wxDialog {
public:
    // server: "host:port" the run connected to; pinned: the fingerprint
    // trusted for it before ("" for a first meeting).
    CDlgFiduciaCertificato(wxWindow* parent, const CTlsPeer& peer, const std::string& server,
                           const std::string& pinned = {});

    // False when the template could not be loaded (the reason has been logged).
    bool IsLoaded() const { return m_bLoaded; }

private:
    void OnTrust(wxCommandEvent& event);

    bool m_bLoaded = false;
};
