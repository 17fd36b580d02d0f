#include "dialogs/MessagesWindow.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <vector>

#include <wx/dialog.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>

#include "dialogs/SideWindow.h"
#include "forms/DisplayText.h"
#include "forms/ListColumn.h"
#include "run/Manifest.h"

namespace {

enum { COL_RECEIVED, COL_FROM, COL_SUBJECT, COL_SIZE, COL_ACTION, COL_FOLDER, COL_MESSAGE_COUNT };

constexpr CListColumn kMessageColumns[COL_MESSAGE_COUNT] = {
    {"Received", 170, wxLIST_FORMAT_LEFT}, {"From", 220, wxLIST_FORMAT_LEFT},
    {"Subject", 320, wxLIST_FORMAT_LEFT},  {"Size", 70, wxLIST_FORMAT_RIGHT},
    {"Action", 130, wxLIST_FORMAT_LEFT},   {"Folder", 150, wxLIST_FORMAT_LEFT},
};

// A message as the list shows and sorts it.
struct Message {
    wxString text[COL_MESSAGE_COUNT];
    int64_t received = 0;  // seconds since 1970 in UTC: offsets differ within a mailbox
    uint64_t size = 0;
};

// "2020-01-15T10:00:00+01:00" in seconds since 1970 (UTC); 0 when it is none.
int64_t UtcSeconds(const std::string& iso) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, zh = 0, zm = 0;
    char sign = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d", &y, &mo, &d, &h, &mi, &s,
                    &sign, &zh, &zm) != 9 ||
        mo < 1 || mo > 12)
        return 0;
    // Days since 1970-01-01 of the civil date (years counted from March).
    y -= mo <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    const int64_t offset = (zh * 60 + zm) * 60 * (sign == '-' ? -1 : 1);
    return days * 86400 + h * 3600 + mi * 60 + s - offset;
}

wxString SizeText(uint64_t bytes) {
    if (bytes < 1024)
        return wxString::Format("%llu B", static_cast<unsigned long long>(bytes));
    if (bytes < 1024 * 1024)
        return wxString::Format("%llu KB", static_cast<unsigned long long>((bytes + 1023) / 1024));
    return wxString::Format("%.1f MB", static_cast<double>(bytes) / (1024 * 1024));
}

bool Less(const Message& a, const Message& b, int column) {
    switch (column) {
        case COL_RECEIVED:
            return a.received < b.received;
        case COL_SIZE:
            return a.size < b.size;
        default:
            return a.text[column].CmpNoCase(b.text[column]) < 0;
    }
}

class CMessageList : public wxListCtrl {
public:
    CMessageList(wxWindow* parent, std::vector<Message> messages, bool folders)
        : wxListCtrl(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                     wxLC_REPORT | wxLC_VIRTUAL | wxBORDER_SUNKEN),
          m_messages(std::move(messages)),
          m_order(m_messages.size()) {
        std::iota(m_order.begin(), m_order.end(), size_t{0});
        // Only a run of more than INBOX tells the folders apart.
        for (int i = 0; i < (folders ? COL_MESSAGE_COUNT : COL_FOLDER); ++i)
            AppendColumn(kMessageColumns[i].title, kMessageColumns[i].format,
                         FromDIP(kMessageColumns[i].width));
        Bind(wxEVT_LIST_COL_CLICK, [this](wxListEvent& e) { SortBy(e.GetColumn()); });
        SetItemCount(static_cast<long>(m_order.size()));
    }

private:
    void SortBy(int column) {
        if (column < 0 || column >= GetColumnCount())
            return;
        m_ascending = column == m_sortColumn ? !m_ascending : true;
        m_sortColumn = column;
        std::stable_sort(m_order.begin(), m_order.end(), [&](size_t a, size_t b) {
            return m_ascending ? Less(m_messages[a], m_messages[b], column)
                               : Less(m_messages[b], m_messages[a], column);
        });
        ShowSortIndicator(column, m_ascending);
        Refresh();
    }

    wxString OnGetItemText(long item, long column) const override {
        return item >= 0 && static_cast<size_t>(item) < m_order.size() && column >= 0 &&
                       column < COL_MESSAGE_COUNT
                   ? m_messages[m_order[static_cast<size_t>(item)]].text[column]
                   : wxString();
    }

    std::vector<Message> m_messages;
    std::vector<size_t> m_order;  // item -> message
    int m_sortColumn = -1;
    bool m_ascending = true;
};

}  // namespace

void ShowAccountMessages(wxWindow* parent, const std::string& account, const std::string& path) {
    std::vector<Message> messages;
    bool folders = false;
    const std::string problem = ReadManifestFile(path, [&](const CManifestRow& row) {
        // Any account's folder other than INBOX: the run cleaned more.
        folders = folders || row.folder != "INBOX";
        if (row.account != account)
            return true;
        Message message;
        message.received = UtcSeconds(row.received);
        message.size = row.size;
        std::string received = row.received;
        std::replace(received.begin(), received.end(), 'T', ' ');
        message.text[COL_RECEIVED] = BytesToDisplay(received);
        message.text[COL_FROM] = BytesToDisplay(row.from);
        message.text[COL_SUBJECT] = BytesToDisplay(row.subject);
        message.text[COL_SIZE] = SizeText(row.size);
        message.text[COL_ACTION] = BytesToDisplay(row.action);
        message.text[COL_FOLDER] = BytesToDisplay(row.folder);
        messages.push_back(std::move(message));
        return true;
    });
    wxDialog* window = NewSideWindow(parent, "Messages of " + BytesToDisplay(account),
                                     wxSize(900, 500), kMessagesWindowName);
    ShowSideWindow(window, new CMessageList(window, std::move(messages), folders));
    if (!problem.empty())
        wxMessageBox(BytesToDisplay("The record " + path + " could not be read whole: " + problem),
                     "Messages of " + BytesToDisplay(account), wxOK | wxICON_WARNING, window);
}
