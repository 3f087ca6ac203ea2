#include "sync/listing_lines.h"
#include "sync/sync_core.h"
#include "toolkit/messages.h"
#include "toolkit/tick.h"

namespace pelmora {

void TSyncCore::changeRemoteBtnClick() {
    const TOperationScope operation(*this, TOperation::RemoteLoad);
    if (!operation)
        return;
    if (!connected) {
        ShowStatus("Not Connected to Remote Site");
        return;
    }
    if (localLoading || remoteLoading)
        return;
    ClearStatus();
    ShowStatus("Loading Remote Directory");
    if (LoadRemoteDirectory())
        ShowStatus("Remote Directory Loaded: " + std::to_string(remoteList.Count()));
    else
        ShowStatus("Directory Load Stopped");
}

bool TSyncCore::LoadRemoteDirectory() {
    ftpAbort = false;
    // A root typed without a leading "/" is taken from where the login put us; once known
    // as the server names it, later loads of the session go there directly, wherever
    // the last walk left the server standing.
    const std::string& typed = Edit4.Text();
    const bool relative = typed.empty() || typed.front() != '/';
    if (!relative || typed != remoteRootTyped_)
        remoteRootAbsolute_.reset();
    const std::string root = relative && remoteRootAbsolute_
                                 ? (remoteRootAbsolute_->empty() ? "/" : *remoteRootAbsolute_)
                                 : typed;
    if (!ChangeRemoteDir(root))
        return false;
    remoteRootTyped_ = typed;
    stopLoadBtn.SetEnabled(true);
    recurseLevel = 0;
    recurseDir.clear();
    FreeEntries(remoteList);
    remoteTree.Clear();
    remoteWorkList.Clear();
    remoteLoading = true;
    BuildRemoteLevel(remoteWorkList, TTreeModel::NoNode);
    const bool result = !ftpAbort;
    if (result)
        compareBtn.SetEnabled(true);
    stopLoadBtn.SetEnabled(false);
    remoteLoading = false;
    return result;
}

bool TSyncCore::ChangeRemoteDir(const std::string& path) {
    ftpReady = false;
    Ftp1.ChangeDir(path);
    const bool ok = WaitForFlag(ftpReady, TimeoutMs());
    if (!ok && ftpError && lastErrorCode == ftpOperationFailed) {
        // The server only refused this directory; the session goes on. Its ready comes
        // right after the error, and the walk may send again once it has.
        WaitUntil([this] { return ftpReady || ftpAbort; }, GetTickCount() + TimeoutMs());
        ftpError = false;
    }
    if (!ok && !userStop)
        ShowStatus("Could not change to remote directory");
    return ok;
}

bool TSyncCore::BuildRemoteLevel(TStringList& workList, int parentNode) {
    ++recurseLevel;
    std::string here; // this directory's absolute path, as the server names it
    if (workList.Count() == 0) {
        ftpReady = false;
        Ftp1.GetListing();
        if (WaitForFlag(ftpReady, TimeoutMs()) && !ftpAbort) {
            // A listing that failed is never taken for an empty directory.
            if (Ftp1.LastError() != ftpNoError) {
                ftpAbort = true;
            } else {
                here = Ftp1.InitialDirectory;
                if (recurseLevel == 1 && !here.empty() && here.front() == '/')
                    remoteRootAbsolute_ = here == "/" ? std::string() : here;
                TStringList& listing = Ftp1.Listing();
                // Filled unsorted and sorted once by PrepareWorkList, not line by line.
                workList.SetSorted(false);
                workList.Reserve(static_cast<size_t>(listing.Count()));
                for (int i = 0; i < listing.Count(); ++i)
                    workList.Add(listing.Strings(i));
                PrepareWorkList(workList, Memo2);
            }
        } else {
            ftpAbort = true;
        }
    }
    for (int i = 0; i < workList.Count() && !ftpAbort; ++i) {
        ShowStatus("Loading Remote Directory: " + std::to_string(remoteList.Count()));
        const std::string& line = workList.Strings(i);
        const TSkipped field = EntryOfLine(line);
        if (line.empty() || field.rest.empty())
            continue;
        auto* detail = new TDetail;
        FillRemoteDetail(*detail, field.isDirectory ? kindDirectory : kindFile, field.rest, line,
                         recurseDir);
        const int node = AddEntry(remoteList, remoteTree, detail, parentNode);
        remoteTree.MakeVisible(node);
        if (!field.isDirectory)
            continue;
        // Past the key limit nothing can be matched any more; a server whose
        // directories lead into themselves ends here too.
        if (recurseDir.size() + 1 + field.rest.size() > MaxPathLength) {
            Memo2.Add("Not entered (path too long): " + recurseDir + "/" + field.rest);
            continue;
        }
        if (!ChangeRemoteDir(field.rest))
            break;
        recurseDir += "/" + field.rest;
        bool back = false;
        {
            TStringList level(true);
            back = BuildRemoteLevel(level, node);
        }
        RemoveLastComponent(recurseDir);
        // The level below could not climb back with "..": go straight home, or give up
        // the load rather than walk on in the wrong directory.
        if (!back && !ftpAbort && (here.empty() || !ChangeRemoteDir(here)))
            ftpAbort = true;
    }
    bool back = true;
    if (recurseLevel > 1)
        back = ChangeRemoteDir("..");
    --recurseLevel;
    return back;
}

} // namespace pelmora
