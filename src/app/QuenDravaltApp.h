// The application: checks the socket layer, sets up the document template,
// takes the framework's command line and shows the main window maximised.
#pragma once

#include <memory>

#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/docview.h>

#include "imap/Transcript.h"

inline constexpr const char* kAppTitle = "QuenDravalt";
inline constexpr const char* kSocketInitFailed = "Inzializzazione Socket Fallita.";

class CQuenDravaltApp : public wxApp {
public:
    CQuenDravaltApp();
    ~CQuenDravaltApp() override;

    bool OnInit() override;
    int OnExit() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;

protected:
    // Whether the system hands out TCP sockets at all.
    virtual bool CheckSocketLayer();

private:
    // The run transcript; its log file is LOG_QUEN_DRAVALT.TXT of the data folder.
    CTranscript m_transcript;
    std::unique_ptr<wxDocManager> m_docManager;
    wxString m_documentPath;
};

wxDECLARE_APP(CQuenDravaltApp);
