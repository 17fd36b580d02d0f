#include "dialogs/DlgConferma.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/xrc/xmlres.h>

#include "dialogs/DeleteCommands.h"
#include "forms/ControlIds.h"
#include "forms/DisplayText.h"
#include "run/Plan.h"
#include "settings/Settings.h"

namespace {

// How the run will secure the connection: the mode, then what the known
// servers say of the server (in auto, a server that completed TLS before gets
// no password without it).
std::string SecurityText(const CSettings& settings) {
    static const char* const kModes[] = {
        "auto: STARTTLS when the server offers it",
        "starttls: STARTTLS required",
        "tls: IMAPS from the first byte",
        "none: plain text, passwords travel readable",
    };
    const CKnownServer* known = settings.m_known.Find(settings.Server());
    std::string text = kModes[static_cast<int>(settings.m_security)];
    text += known && known->tls ? "\nThe server completed TLS before"
                                : "\nThe server never completed TLS with this program";
    text += settings.Pin().empty() ? "; no certificate is pinned for it."
                                   : "; its certificate is pinned.";
    return text;
}

std::string FolderName(const CFolderRule& rule) {
    return rule.name.empty() ? rule.specialUse : rule.name;
}

// What rules add to a run of INBOX at its day: "" when nothing, else
// "Folders: INBOX, \Trash (older than 30 days). Spared: flagged mail, unread
// mail. Mail is moved to Trash."
std::string RulesText(const CRuleSet& rules) {
    const bool inbox = rules.folders.size() == 1 && rules.folders[0].name == "INBOX" &&
                       rules.folders[0].olderThanDays < 0;
    if (inbox && !rules.spareFlagged && !rules.spareUnread && rules.action == RuleAction::Delete)
        return "";
    std::string text;
    for (const CFolderRule& rule : rules.folders) {
        text += (text.empty() ? "Folders: " : ", ") + FolderName(rule);
        if (rule.olderThanDays >= 0)
            text += " (older than " + std::to_string(rule.olderThanDays) +
                    (rule.olderThanDays == 1 ? " day)" : " days)");
    }
    text += ".";
    if (rules.spareFlagged || rules.spareUnread)
        text += std::string(" Spared: ") + (rules.spareFlagged ? "flagged mail" : "") +
                (rules.spareFlagged && rules.spareUnread ? ", " : "") +
                (rules.spareUnread ? "unread mail" : "") + ".";
    if (rules.action == RuleAction::Trash)
        text += " Mail is moved to Trash.";
    return text;
}

// The folders cleaned at the run's day (those without an age of their own).
std::string FoldersAtTheDay(const CRuleSet& rules) {
    std::string names;
    for (const CFolderRule& rule : rules.folders)
        if (rule.olderThanDays < 0)
            names += (names.empty() ? "" : ", ") + FolderName(rule);
    return names;
}

// The folders of a plan, each once, in the plan's order.
std::string PlanFolders(const CPlan& plan) {
    std::vector<std::string> names;
    for (const std::string& account : plan.accounts)
        for (const CPlanFolder& folder : plan.folders.at(account))
            if (std::find(names.begin(), names.end(), folder.folder) == names.end())
                names.push_back(folder.folder);
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

wxString DayInWords(const wxDateTime& day) {
    static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    static const char* const kMonths[] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
    if (!day.IsValid())
        return "?";
    return wxString::Format("%s, %d %s %d", kDays[day.GetWeekDay()], day.GetDay(),
                            kMonths[day.GetMonth()], day.GetYear());
}

CDlgConferma::CDlgConferma(wxWindow* parent, const CSettings& settings, const CRunRequest& request,
                           size_t listAccounts, const CRules& rules, const CPlan* plan) {
    m_bLoaded = wxXmlResource::Get()->LoadDialog(this, parent, "IDD_CONFERMA");
    if (!m_bLoaded)
        return;
    SetId(IDD_CONFERMA);
    const wxDateTime today = wxDateTime::Today();
    const wxDateTime day = request.day.IsValid() ? request.day.GetDateOnly() : today;
    // A single account may have a section of its own; a list run shows [all]'s.
    const CRuleSet set = rules.For(request.list ? std::string() : request.account);
    const bool trash = set.action == RuleAction::Trash;
    const std::string atTheDay = FoldersAtTheDay(set);
    wxString warning;
    if (!plan && !atTheDay.empty() && day >= today)
        warning =
            (trash ? "This moves to Trash every message in " : "This deletes every message in ") +
            BytesToDisplay(atTheDay) + " received before today" +
            (day > today ? ", and today's too." : ".");
    wxString accounts = !request.list ? BytesToDisplay(request.account)
                        : listAccounts == 1
                            ? wxString("the 1 account of the user list")
                            : wxString::Format("all %zu accounts of the user list", listAccounts);
    wxString messages = "received before " + DayInWords(day);
    std::string folders = "INBOX";
    const std::string rulesText = plan ? std::string() : RulesText(set);
    if (plan) {
        messages =
            plan->messages == 1
                ? wxString("exactly the 1 message the preview found")
                : wxString::Format("exactly the %zu messages the preview found", plan->messages);
        folders = PlanFolders(*plan);
        if (plan->accounts.size() == 1)
            accounts = BytesToDisplay(plan->accounts.front());
        else
            accounts = wxString::Format("the %zu accounts the preview found mail in",
                                        plan->accounts.size());
    } else if (!rulesText.empty()) {
        // The text names the folders itself, across the form.
        folders = rulesText;
        wxWindow* caption = FindWindow(IDC_STATIC_FOLDER_CAPTION);
        wxWindow* value = FindWindow(IDC_STATIC_FOLDER);
        const wxRect from = caption->GetRect(), to = value->GetRect();
        caption->Hide();
        value->SetSize(from.x, to.y, to.GetRight() - from.x + 1, to.height);
    }
    const std::pair<int, wxString> values[] = {
        {IDC_STATIC_INTRO, plan    ? "The run deletes exactly what the preview found:"
                           : trash ? "The run moves these messages to Trash:"
                                   : "The run deletes these messages for good:"},
        {IDC_STATIC_SERVER, BytesToDisplay(settings.Server())},
        {IDC_STATIC_SECURITY, SecurityText(settings)},
        {IDC_STATIC_DAY, messages},
        {IDC_STATIC_FOLDER, BytesToDisplay(folders)},
        {IDC_STATIC_ACCOUNTS, accounts},
        {IDC_STATIC_WARNING, warning},
    };
    for (const auto& [id, text] : values)
        if (auto* label = dynamic_cast<wxStaticText*>(FindWindow(id)))
            label->SetLabelText(text);  // no mnemonics: the names are the files'
    Bind(
        wxEVT_BUTTON,
        [this](wxCommandEvent&) {
            // EndDialog() sets no return code for a form that is not modal.
            SetReturnCode(wxID_OK);
            EndDialog(wxID_OK);
        },
        IDC_DELETE);
    Bind(wxEVT_CHAR_HOOK, &CDlgConferma::OnCharHook, this);
}

void CDlgConferma::OnCharHook(wxKeyEvent& event) {
    // Enter presses the focused button, else the default one (Cancel), here
    // rather than by the platform's rules, so that it is the same everywhere.
    const int key = event.GetKeyCode();
    if ((key != WXK_RETURN && key != WXK_NUMPAD_ENTER) || event.HasAnyModifiers()) {
        event.Skip();
        return;
    }
    wxWindow* focus = FindFocus();
    auto* button = dynamic_cast<wxButton*>(
        focus && wxGetTopLevelParent(focus) == this ? focus : GetDefaultItem());
    if (!button)
        return;
    wxCommandEvent click(wxEVT_BUTTON, button->GetId());
    click.SetEventObject(button);
    button->ProcessWindowEvent(click);
}
