#include "app/ReportList.h"

#include <algorithm>
#include <numeric>

#include <wx/artprov.h>
#include <wx/image.h>
#include <wx/imaglist.h>

#include "forms/ListColumn.h"
#include "run/RunReport.h"

namespace {

enum { COL_ACCOUNT, COL_FOUND, COL_DELETED, COL_RESULT, COL_TIME, COL_COUNT };

constexpr CListColumn kReportColumns[COL_COUNT] = {
    {"Account", 260, wxLIST_FORMAT_LEFT}, {"Found", 70, wxLIST_FORMAT_RIGHT},
    {"Deleted", 70, wxLIST_FORMAT_RIGHT}, {"Result", 380, wxLIST_FORMAT_LEFT},
    {"Time", 80, wxLIST_FORMAT_RIGHT},
};

wxString Count(int64_t n) {
    return n < 0 ? wxString() : wxString::Format("%lld", static_cast<long long>(n));
}

// Orders rows by column: numbers as numbers (unknown first), texts without case.
bool Less(const CReportRow& a, const CReportRow& b, int column) {
    switch (column) {
        case COL_FOUND:
            return a.found < b.found;
        case COL_DELETED:
            return a.deleted < b.deleted;
        case COL_TIME:
            return a.seconds < b.seconds;
        case COL_RESULT:
            return wxString::FromUTF8(a.result).CmpNoCase(wxString::FromUTF8(b.result)) < 0;
        default:
            return wxString::FromUTF8(a.account).CmpNoCase(wxString::FromUTF8(b.account)) < 0;
    }
}

}  // namespace

CReportList::CReportList(wxWindow* parent, const CRunReport& report)
    : wxListCtrl(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                 wxLC_REPORT | wxLC_VIRTUAL | wxBORDER_SUNKEN),
      m_report(report) {
    for (int i = 0; i < COL_COUNT; ++i)
        AppendColumn(kReportColumns[i].title, kReportColumns[i].format,
                     FromDIP(kReportColumns[i].width));
    const wxSize icon = FromDIP(wxSize(16, 16));
    auto* images = new wxImageList(icon.x, icon.y);
    images->Add(wxArtProvider::GetBitmap(wxART_WARNING, wxART_LIST, icon));
    // A blank one for the other rows, so that every account starts at the same place.
    wxImage blank(icon.x, icon.y);
    blank.InitAlpha();
    std::fill_n(blank.GetAlpha(), icon.x * icon.y, 0);
    images->Add(wxBitmap(blank));
    AssignImageList(images, wxIMAGE_LIST_SMALL);
    m_failedAttr.SetBackgroundColour(wxColour(255, 228, 225));
    m_failedAttr.SetTextColour(wxColour(139, 0, 0));
    Bind(wxEVT_LIST_COL_CLICK, [this](wxListEvent& e) { SortBy(e.GetColumn()); });
    // The result column takes the width the others leave.
    Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
        e.Skip();
        int others = 0;
        for (int i = 0; i < COL_COUNT; ++i)
            others += i == COL_RESULT ? 0 : GetColumnWidth(i);
        SetColumnWidth(COL_RESULT, std::max(FromDIP(kReportColumns[COL_RESULT].width),
                                            GetClientSize().x - others));
    });
    Reload();
}

void CReportList::Reload() {
    m_order.resize(m_report.rows.size());
    std::iota(m_order.begin(), m_order.end(), size_t{0});
    m_position.resize(m_order.size());
    std::iota(m_position.begin(), m_position.end(), 0L);
    if (m_sortColumn >= 0)
        RemoveSortIndicator();
    m_sortColumn = -1;
    SetItemCount(static_cast<long>(m_order.size()));
    Refresh();
}

void CReportList::RowChanged(size_t row) {
    if (row >= m_report.rows.size())
        return;
    if (row < m_position.size()) {
        RefreshItem(m_position[row]);
        return;
    }
    // Rows come one at a time, in report order; a new one joins at the end.
    m_position.push_back(static_cast<long>(m_order.size()));
    m_order.push_back(row);
    SetItemCount(static_cast<long>(m_order.size()));
    EnsureVisible(m_position.back());
}

void CReportList::SortBy(int column) {
    if (column < 0 || column >= COL_COUNT)
        return;
    m_ascending = column == m_sortColumn ? !m_ascending : true;
    m_sortColumn = column;
    const auto& rows = m_report.rows;
    std::stable_sort(m_order.begin(), m_order.end(), [&](size_t a, size_t b) {
        return m_ascending ? Less(rows[a], rows[b], column) : Less(rows[b], rows[a], column);
    });
    for (size_t item = 0; item < m_order.size(); ++item)
        m_position[m_order[item]] = static_cast<long>(item);
    ShowSortIndicator(column, m_ascending);
    Refresh();
}

bool CReportList::SelectNextFailed() {
    const long count = GetItemCount();
    const long from = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    for (long step = 1; step <= count; ++step) {
        const long item = (from + step + count) % count;
        if (!m_report.rows[m_order[item]].failed)
            continue;
        if (from >= 0)
            SetItemState(from, 0, wxLIST_STATE_SELECTED);
        SetItemState(item, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                     wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
        EnsureVisible(item);
        return true;
    }
    return false;
}

size_t CReportList::RowAt(long item) const {
    return item >= 0 && static_cast<size_t>(item) < m_order.size() ? m_order[item] : SIZE_MAX;
}

wxString CReportList::SelectedRowsText() const {
    wxString text;
    for (long item = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); item >= 0;
         item = GetNextItem(item, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
        for (int column = 0; column < COL_COUNT; ++column) {
            wxString cell = OnGetItemText(item, column);
            // An account may hold any byte: a TAB or line end must not split the row.
            for (const char* blank : {"\t", "\r", "\n"})
                cell.Replace(blank, " ");
            text << cell << (column + 1 < COL_COUNT ? "\t" : "\n");
        }
    }
    return text;
}

wxString CReportList::OnGetItemText(long item, long column) const {
    const size_t row = RowAt(item);
    if (row >= m_report.rows.size())
        return wxString();
    const CReportRow& r = m_report.rows[row];
    switch (column) {
        case COL_ACCOUNT:
            return wxString::FromUTF8(r.account);
        case COL_FOUND:
            return Count(r.found);
        case COL_DELETED:
            return Count(r.deleted);
        case COL_RESULT:
            return wxString::FromUTF8(r.result);
        case COL_TIME:
            return r.seconds < 0 ? wxString() : wxString::Format("%.1f s", r.seconds);
        default:
            return wxString();
    }
}

int CReportList::OnGetItemImage(long item) const {
    return OnGetItemColumnImage(item, COL_ACCOUNT);
}

int CReportList::OnGetItemColumnImage(long item, long column) const {
    const size_t row = RowAt(item);
    if (column != COL_ACCOUNT || row >= m_report.rows.size())
        return -1;
    return m_report.rows[row].failed ? 0 : 1;
}

wxItemAttr* CReportList::OnGetItemAttr(long item) const {
    const size_t row = RowAt(item);
    return row < m_report.rows.size() && m_report.rows[row].failed ? &m_failedAttr : nullptr;
}
