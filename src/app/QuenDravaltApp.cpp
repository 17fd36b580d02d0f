#include "app/QuenDravaltApp.h"

#include <wx/image.h>
#include <wx/msgdlg.h>
#include <wx/xrc/xmlres.h>

#include "app/QuenDravaltDoc.h"
#include "app/Resources.h"
#include "frame/MainFrame.h"
#include "platform/DataFolder.h"
#include "platform/SocketApi.h"

CQuenDravaltApp::CQuenDravaltApp() : m_transcript(DataFilePath(DefaultDataFolder(), kLogFileName)) {
    SetAppName("QuenDravalt");
    SetAppDisplayName(kAppTitle);
}

CQuenDravaltApp::~CQuenDravaltApp() = default;

bool CQuenDravaltApp::CheckSocketLayer() {
    const int fd = sockapi::NewStream();
    if (fd < 0)
        return false;
    sockapi::Close(fd);
    return true;
}

bool CQuenDravaltApp::OnInit() {
    wxInitAllImageHandlers();
    wxXmlResource::Get()->InitAllHandlers();
    InitXmlResource();
    RegisterCommandIds();

    if (!CheckSocketLayer()) {
        wxMessageBox(kSocketInitFailed, kAppTitle, wxOK | wxICON_EXCLAMATION);
        return false;
    }

    m_docManager = std::make_unique<CQuenDravaltDocManager>();
    CreateQuenDravaltTemplate(m_docManager.get());

    // The framework's command line: an optional document name, nothing else.
    if (!wxApp::OnInit())
        return false;

    auto* frame = new CMainFrame(m_docManager.get(), m_transcript, DefaultDataFolder());
    SetTopWindow(frame);
    wxDocument* doc = m_documentPath.empty()
                          ? m_docManager->CreateNewDocument()
                          : m_docManager->CreateDocument(m_documentPath, wxDOC_SILENT);
    if (!doc) {
        frame->Destroy();
        return false;
    }
    frame->ShowMaximized();
    return true;
}

int CQuenDravaltApp::OnExit() {
    // The frame is gone by now; the manager still holds the (closed) template.
    m_docManager.reset();
    return wxApp::OnExit();
}

void CQuenDravaltApp::OnInitCmdLine(wxCmdLineParser& parser) {
    wxApp::OnInitCmdLine(parser);
    parser.AddParam("document", wxCMD_LINE_VAL_STRING, wxCMD_LINE_PARAM_OPTIONAL);
}

bool CQuenDravaltApp::OnCmdLineParsed(wxCmdLineParser& parser) {
    if (!wxApp::OnCmdLineParsed(parser))
        return false;
    if (parser.GetParamCount() > 0)
        m_documentPath = parser.GetParam(0);
    return true;
}
