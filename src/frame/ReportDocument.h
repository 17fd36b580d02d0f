// What the main window needs of the report open in it. The application's
// document implements it, so that the window never reaches up to it.
#pragma once

#include <cstddef>
#include <string>

struct CReportRow;

class IReportDocument {
public:
    virtual ~IReportDocument() = default;
    // A run starts: the report empties and takes the run's cut-off day, kind
    // and server ("host:port").
    virtual void BeginRun(const std::string& cutoff, bool preview, const std::string& server) = 0;
    // True while the report is the one of the last BeginRun (not a new one,
    // nor one opened from a file).
    virtual bool HoldsRun() const = 0;
    // Row index (at most one past the last) becomes row.
    virtual void SetRow(size_t index, CReportRow row) = 0;
    // True when nothing unsaved would be lost, or the administrator saved the
    // report or agreed to let it go.
    virtual bool MayBeReplaced() = 0;
};
