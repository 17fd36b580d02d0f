#include "dialogs/SaveManifest.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <wx/app.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>

#include "forms/DisplayText.h"
#include "platform/FileSystem.h"

std::string CopyFileReplacing(const std::string& from, const std::string& to) {
    std::FILE* in = OpenFile(from, "rb");
    if (!in)
        return from + " cannot be read: " + std::strerror(errno);
    const std::string part = to + ".part";
    std::FILE* out = CreateNewFile(part);
    if (!out) {
        const std::string why = std::strerror(errno);
        std::fclose(in);
        return part + " cannot be made: " + why;
    }
    // The manifest of a long run is large: never held whole.
    std::vector<char> buffer(1 << 16);
    bool ok = true;
    for (size_t n; ok && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;)
        ok = std::fwrite(buffer.data(), 1, n, out) == n;
    ok = ok && !std::ferror(in) && SyncFile(out);
    std::fclose(in);
    ok = std::fclose(out) == 0 && ok && MoveReplacing(part, to);
    if (!ok) {
        RemoveFile(part);
        return to + " could not be written";
    }
    SyncFolderOf(to);
    return "";
}

void SaveManifestCopy(wxWindow* parent, const std::string& manifest) {
    wxFileDialog dialog(parent, "Save manifest as", wxString(),
                        wxFileName(BytesToDisplay(manifest)).GetFullName(),
                        "CSV files (*.csv)|*.csv|All files|*", wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() != wxID_OK)
        return;
    const std::string problem = CopyFileReplacing(manifest, dialog.GetPath().utf8_string());
    if (!problem.empty())
        wxMessageBox(BytesToDisplay("The manifest was not saved: " + problem + "."),
                     wxTheApp ? wxTheApp->GetAppDisplayName() : wxString(), wxOK | wxICON_WARNING,
                     parent);
}
