// Run folders: named safely, claimed by one run, locked for one call, and their MANIFEST.

#include "run_folder.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "file_names.hpp"
#include "files.hpp"

namespace fs = std::filesystem;

namespace line_sim {
namespace {

bool plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool regular_file(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() == fs::file_type::regular;
}

std::set<std::string> manifest_of(const fs::path& folder) {
    std::set<std::string> names;
    if (!regular_file(folder / MANIFEST)) return names;
    std::ifstream file(folder / MANIFEST);
    for (std::string line; std::getline(file, line);) {
        if (plain_name(line)) names.insert(line);
    }
    return names;
}

// Makes `folder` this run's if it can be: absent (created), empty, or
// line-sim's own (its listed files removed). The files left are `kept`.
bool take(const fs::path& folder, std::set<std::string>& kept) {
    if (mkdir(folder.c_str(), 0755) == 0) return true;
    if (errno != EEXIST) throw std::runtime_error(folder.string() + ": " + std::strerror(errno));
    std::error_code error;
    // Not a link to elsewhere, nor a file.
    if (fs::symlink_status(folder, error).type() != fs::file_type::directory) return false;
    const bool ours = regular_file(folder / MANIFEST);
    std::set<std::string> present;
    for (const auto& entry : fs::directory_iterator(folder, error)) present.insert(entry.path().filename().string());
    if (error || (!ours && !present.empty())) return false;
    const std::set<std::string> written = manifest_of(folder);
    for (const std::string& name : present) {
        if (name != MANIFEST &&
            (written.count(name) == 0 || !regular_file(folder / name) || !fs::remove(folder / name, error))) {
            kept.insert(name);
        }
    }
    return true;
}

}  // namespace

std::string safe_folder_name(std::string_view text) {
    std::string name;
    for (const char c : text) {
        const bool safe = std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                          std::string_view("-_.=,+").find(c) != std::string_view::npos;
        name += safe && (c & 0x80) == 0 ? c : '_';
        if (name.size() == MOST_FOLDER_NAME_BYTES) break;
    }
    if (name.empty() || name[0] == '.') name.insert(0, "_");
    return name.substr(0, MOST_FOLDER_NAME_BYTES);
}

RunFolder claim_run_folder(const fs::path& out, const std::string& folder, std::set<std::string>& taken) {
    fs::create_directories(out);
    const fs::path relative(folder);
    fs::path parent = out;
    for (const fs::path& part : relative.parent_path()) {
        parent /= part;
        std::error_code error;
        fs::create_directory(parent, error);
        if (fs::symlink_status(parent, error).type() != fs::file_type::directory) {
            throw std::runtime_error(parent.string() + ": not a folder line-sim can write in");
        }
    }
    const std::string base = relative.filename().string();
    for (int n = 1; n < 100000; ++n) {
        const fs::path name = relative.parent_path() / (n == 1 ? base : base + "-" + std::to_string(n));
        if (taken.count(name.string()) != 0) continue;
        RunFolder claimed{out / name, {}};
        if (!take(claimed.path, claimed.kept)) continue;
        taken.insert(name.string());
        return claimed;
    }
    throw std::runtime_error("no free folder for " + folder + " in " + out.string());
}

FolderLock::FolderLock(const fs::path& folder) {
    // A call's files inside a run's folder would mix with the run's own list
    // of them, and a later run there would remove them.
    std::error_code absolute_error;
    for (fs::path at = fs::absolute(folder, absolute_error); !absolute_error && !at.empty(); at = at.parent_path()) {
        if (manifest_of(at).count(sim::WORLD_FILE) != 0) {
            throw std::runtime_error("inside the run folder " + at.string() + "; give a folder of its own");
        }
        if (at == at.parent_path()) break;
    }
    const std::string path = (folder / LOCK_FILE).string();
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::runtime_error(path + ": cannot be made (" + std::strerror(errno) + ")");
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        if (error == EWOULDBLOCK) {
            throw std::runtime_error(
                "another line-sim call is writing there; wait for it to end, or give another folder");
        }
        throw std::runtime_error(path + ": cannot be locked (" + std::strerror(error) + ")");
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) close(fd_);
}

void write_manifest(const RunFolder& folder) {
    std::string list;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder.path, error)) {
        const std::string name = entry.path().filename().string();
        if (name != MANIFEST && folder.kept.count(name) == 0 && regular_file(entry.path())) list += name + "\n";
    }
    sim::write_file((folder.path / MANIFEST).string(), list);
}

}  // namespace line_sim
