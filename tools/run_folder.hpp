#pragma once

// A run's folder: one file-name component inside the output folder, derived
// safely from names that come from world files, claimed by one run alone,
// and never a place where line-sim deletes what it did not write.
//
// Each folder line-sim fills lists the files it wrote in MANIFEST. A later
// run may take over such a folder: it removes exactly those files (plain
// names, regular files, not links) and leaves anything else where it is. A
// folder that is neither absent, empty nor line-sim's is left alone and the
// run takes the next name (NAME-2, NAME-3, ...).

#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace line_sim {

inline constexpr const char* MANIFEST = ".line-sim-files";
inline constexpr std::size_t MOST_FOLDER_NAME_BYTES = 100;

// `text` as one safe file name: letters, digits and - _ . = , + kept, every
// other byte '_', no leading dot (so never "." or ".."), at most
// MOST_FOLDER_NAME_BYTES, never empty.
std::string safe_folder_name(std::string_view text);

struct RunFolder {
    std::filesystem::path path;
    std::set<std::string> kept;  // files that were there and are not the run's
};

// Claims out/<folder> (a relative path of safe names, the last the run's
// own), or, if that is taken or not line-sim's, the first free
// out/<folder>-N; adds what it claimed, relative to out, to `taken`. The
// folders on the way are made, and must be real folders, not links. Throws
// std::runtime_error if no folder can be had.
RunFolder claim_run_folder(const std::filesystem::path& out, const std::string& folder, std::set<std::string>& taken);

// A line-sim call's hold on its output folder, from before it makes anything
// there until it ends: a second call into the same folder is refused rather
// than both writing one run. (An advisory lock on LOCK_FILE, let go by the
// system however the call ends.)
inline constexpr const char* LOCK_FILE = ".line-sim-lock";
class FolderLock {
public:
    // Throws std::runtime_error saying why if the folder is another call's, or cannot be locked.
    explicit FolderLock(const std::filesystem::path& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

// Lists in the folder's MANIFEST every regular file in it now that was not kept.
void write_manifest(const RunFolder& folder);

}  // namespace line_sim
