// The folders of an account's work: which (the plan's, or the rules'), found
// by LIST when named by their use, in which order (Trash first when mail is
// moved there), and what happens in each after its search: recorded, copied,
// moved or deleted.
#include <wx/datetime.h>

#include <algorithm>

#include "imap/AsciiCase.h"
#include "imap/MailboxName.h"
#include "imap/MessageSet.h"
#include "run/Archive.h"
#include "run/CutoffDate.h"
#include "run/Manifest.h"
#include "run/Plan.h"
#include "run/RunLane.h"

namespace {
// Where a server that names no special uses keeps them, most common first.
const std::vector<std::string>& UsualNames(const std::string& use) {
    static const std::map<std::string, std::vector<std::string>> kNames = {
        {"\\TRASH", {"Trash", "Deleted Items", "Deleted Messages"}},
        {"\\JUNK", {"Junk", "Junk E-mail", "Spam"}},
        {"\\SENT", {"Sent", "Sent Items"}},
        {"\\DRAFTS", {"Drafts"}},
        {"\\ARCHIVE", {"Archive"}},
    };
    static const std::vector<std::string> kNone;
    std::string upper = use;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const auto it = kNames.find(upper);
    return it == kNames.end() ? kNone : it->second;
}

bool HasAttribute(const CListedFolder& folder, const std::string& use) {
    std::string upper = use;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (size_t at = 0; at < folder.attributes.size();) {
        const size_t end = std::min(folder.attributes.find(' ', at), folder.attributes.size());
        if (EqualsNoCase(std::string_view(folder.attributes).substr(at, end - at), upper))
            return true;
        at = end + 1;
    }
    return false;
}

// The folder listed with use, or under one of its usual names (the last
// level of the name, so "INBOX.Trash" counts as Trash).
const CListedFolder* FindByUse(const std::vector<CListedFolder>& folders, const std::string& use) {
    for (const CListedFolder& folder : folders)
        if (HasAttribute(folder, use))
            return &folder;
    for (const std::string& usual : UsualNames(use))
        for (const CListedFolder& folder : folders) {
            std::string name;
            if (!DecodeMailboxName(folder.name, name))
                continue;
            const size_t cut = folder.delimiter ? name.rfind(folder.delimiter) : std::string::npos;
            std::string last = cut == std::string::npos ? name : name.substr(cut + 1);
            std::string upperLast = last, upperUsual = usual;
            for (std::string* text : {&upperLast, &upperUsual})
                std::transform(text->begin(), text->end(), text->begin(),
                               [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            if (upperLast == upperUsual)
                return &folder;
        }
    return nullptr;
}
}  // namespace

void CRunSequencer::PlanFolders(Lane& lane) {
    lane.jobs.clear();
    lane.job = 0;
    if (m_options.restore) {
        const auto it = m_options.restore->folders.find(lane.account);
        if (it == m_options.restore->folders.end())
            return;
        for (const CRestoreFolder& folder : it->second) {
            CFolderJob job;
            job.display = folder.folder;
            job.name = EncodeMailboxName(folder.folder);
            job.restore = &folder.messages;
            lane.jobs.push_back(std::move(job));
        }
        return;
    }
    if (m_options.plan) {
        const auto it = m_options.plan->folders.find(lane.account);
        if (it == m_options.plan->folders.end())
            return;
        for (const CPlanFolder& folder : it->second) {
            CFolderJob job;
            job.display = folder.folder;
            job.name = EncodeMailboxName(folder.folder);
            job.byUid = true;
            job.uidValidity = folder.uidValidity;
            job.uids = folder.uids;
            lane.jobs.push_back(std::move(job));
        }
        return;
    }
    const CRuleSet rules = m_options.rules.For(lane.account);
    for (const CFolderRule& rule : rules.folders) {
        CFolderJob job;
        job.specialUse = rule.specialUse;
        job.display = rule.name.empty() ? rule.specialUse : rule.name;
        job.name = rule.name.empty() ? "" : EncodeMailboxName(rule.name);
        job.before =
            rule.olderThanDays < 0
                ? m_strBeforeDate
                : FormatCutoffDate(wxDateTime::Today() - wxDateSpan::Days(rule.olderThanDays));
        job.spareFlagged = rules.spareFlagged;
        job.spareUnread = rules.spareUnread;
        job.toTrash = rules.action == RuleAction::Trash;
        lane.jobs.push_back(std::move(job));
    }
}

bool CRunSequencer::NeedsList(const Lane& lane) const {
    if (lane.listed)
        return false;
    return lane.socket.IsGmail() ||
           std::any_of(lane.jobs.begin(), lane.jobs.end(), [](const CFolderJob& job) {
               return !job.specialUse.empty() || job.toTrash;
           });
}

void CRunSequencer::ResolveFolders(Lane& lane) {
    const std::vector<CListedFolder>& folders = lane.socket.Folders();
    lane.listed = true;
    if (const CListedFolder* trash = FindByUse(folders, "\\Trash")) {
        lane.trash = trash->name;
        lane.trashDelimiter = trash->delimiter;
    }
    for (CFolderJob& job : lane.jobs) {
        if (job.specialUse.empty() || !job.name.empty())
            continue;
        if (const CListedFolder* found = FindByUse(folders, job.specialUse)) {
            job.name = found->name;
            std::string shown;
            job.display = DecodeMailboxName(found->name, shown) ? shown : found->name;
        }
    }
    // Trash's own rule runs before anything is moved there: mail a run moves
    // to Trash stays there for the user to rescue, whatever its date.
    std::stable_partition(
        lane.jobs.begin() + static_cast<long>(lane.job), lane.jobs.end(),
        [&lane](const CFolderJob& job) { return !lane.trash.empty() && job.name == lane.trash; });
}

int32_t CRunSequencer::NextFolder(Lane& lane) {
    for (; lane.job < lane.jobs.size(); ++lane.job) {
        const CFolderJob& job = lane.jobs[lane.job];
        if (!job.name.empty())
            return STEP_SELECT;
        lane.notes += (lane.notes.empty() ? "no folder " : ", no folder ") + job.display;
    }
    return STEP_LOGOUT;
}

int32_t CRunSequencer::ActionStep(Lane& lane) {
    CImapSocket& socket = lane.socket;
    const CFolderJob& job = *lane.Job();
    const bool inTrash = job.gmailTrash || (!lane.trash.empty() && job.name == lane.trash);
    if (m_bPreview)
        return FolderDone(lane);
    // Mail already in Trash is deleted, not moved; on Gmail the only deletion
    // is through Trash, and \Deleted is never set outside it (Auto-Expunge).
    if (inTrash || (!job.toTrash && !socket.IsGmail()))
        return STEP_STORE;
    if (lane.trash.empty()) {
        lane.failure = "no Trash folder to move the mail to";
        return STEP_LOGOUT;
    }
    lane.moving = socket.OffersMove() && socket.UsesUids();
    if (socket.IsGmail() && !lane.moving) {
        lane.failure = "Gmail without MOVE: its mail can't be deleted for good";
        return STEP_LOGOUT;
    }
    if (socket.IsGmail() && !job.toTrash)
        lane.records.HoldMoves();
    return STEP_MOVE;
}

int32_t CRunSequencer::FolderDone(Lane& lane) {
    CImapSocket& socket = lane.socket;
    CFolderJob& job = *lane.Job();
    // A Gmail deletion: the moved mail is deleted in Trash, next, and its
    // rows are written then.
    const bool gmailDeletion = lane.moving && socket.IsGmail() && !job.gmailTrash && !job.toTrash;
    if (!gmailDeletion)
        lane.records.EndFolder([&](size_t j, const CManifestRow&) {
            if (lane.records.Holding())
                return std::string("moved to Trash, not deleted");
            return socket.SelectionGone(j) ? std::string("deleted") : std::string("kept");
        });
    // What lost sessions deleted in this folder counts with what this one did.
    lane.foundTotal += socket.FoundCount() + lane.ledger.deleted;
    lane.flaggedTotal += socket.FlaggedCount() + lane.ledger.deleted;
    lane.deletedTotal += socket.DeletedCount() + lane.ledger.deleted;
    lane.moved += socket.MovedCount();
    lane.ledger.deleted = 0;
    if (lane.jobs.size() > 1 || job.name != "INBOX")
        lane.cleaned += (lane.cleaned.empty() ? "" : ", ") + job.display + " " +
                        std::to_string(socket.FoundCount());
    if (gmailDeletion) {
        CFolderJob copies;
        copies.name = lane.trash;
        std::string shown;
        copies.display = DecodeMailboxName(lane.trash, shown) ? shown : lane.trash;
        copies.byUid = copies.gmailTrash = true;
        copies.uidValidity = socket.CopiedValidity();
        copies.uids = socket.CopiedUids();
        if (copies.uids.empty() || copies.uidValidity == 0) {
            lane.notes += (lane.notes.empty() ? "" : ", ") +
                          std::string("moved to Trash without saying where: kept there");
            lane.records.EndFolder([](size_t, const CManifestRow&) {
                return std::string("moved to Trash, not deleted");
            });
        } else {
            lane.jobs.insert(lane.jobs.begin() + static_cast<long>(lane.job) + 1,
                             std::move(copies));
        }
    }
    lane.moving = false;
    ++lane.job;
    return NextFolder(lane);
}

int32_t CRunSequencer::NextRestore(Lane& lane) {
    const CFolderJob& job = *lane.Job();
    for (; lane.restoreIndex < job.restore->size(); ++lane.restoreIndex) {
        const CRestoreMessage& message = (*job.restore)[lane.restoreIndex];
        // A copy that is not what the run wrote is not put back.
        if (FileSha256(message.archive) != message.sha256) {
            ++lane.notRestored;
            lane.log.Append(
                "\nNot put back (its copy differs from the record): " + message.archive + "\n");
            continue;
        }
        return message.messageId.empty() ? STEP_APPEND : STEP_PROBE;
    }
    lane.restoreIndex = 0;
    ++lane.job;
    return NextFolder(lane);
}
