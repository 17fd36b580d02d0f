// The results table: the rows of the report, one per account, in a virtual
// report-mode list (a long run costs nothing per row already shown). Failed
// rows carry a warning icon and stand out in colour; a click on a column title
// sorts by it, a second click reverses the order.
#pragma once

#include <vector>

#include <wx/listctrl.h>

struct CRunReport;

class CReportList : public wxListCtrl {
public:
    CReportList(wxWindow* parent, const CRunReport& report);

    // Every row anew, in report order.
    void Reload();
    // Row (an index of the report) was added or changed; a new row goes last.
    void RowChanged(size_t row);
    void SortBy(int column);
    // Selects the next failed row after the selected one, going round; false when none failed.
    bool SelectNextFailed();
    // The report index shown at item, or SIZE_MAX.
    size_t RowAt(long item) const;
    // The selected rows as shown, top to bottom: the columns separated by TAB,
    // each row ended by a line end.
    wxString SelectedRowsText() const;

protected:
    wxString OnGetItemText(long item, long column) const override;
    int OnGetItemImage(long item) const override;
    int OnGetItemColumnImage(long item, long column) const override;
    wxItemAttr* OnGetItemAttr(long item) const override;

private:
    const CRunReport& m_report;
    std::vector<size_t> m_order;   // item -> row
    std::vector<long> m_position;  // row -> item
    int m_sortColumn = -1;
    bool m_ascending = true;
    mutable wxItemAttr m_failedAttr;
};
