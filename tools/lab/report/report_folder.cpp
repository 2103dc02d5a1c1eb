// Stages 0 and 8: the report folder. A run builds its report in a folder of
// its own beside DIR and puts it in DIR's place only once it is complete. A
// report carries a marker listing every file and folder the lab made in it,
// and only a folder that holds nothing else is ever replaced; the earlier
// report is then removed name by listed name, so nothing of the user's goes
// with it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "lab/input_file.h"
#include "lab/report/report.h"

namespace lab {
namespace {

namespace fs = std::filesystem;

const char* const kMarkerHeader =
    "bwlab report: the crash lab made every file and folder listed below and replaces them "
    "with the next report of this folder";
constexpr std::uint64_t kMaxMarkerBytes = 16 * kMiB;

std::string systemError() {
    return std::strerror(errno);
}

// Everything under `dir` by its path relative to it, folders with a trailing
// '/'; links are entries, never followed.
bool entriesOf(const fs::path& dir, std::vector<std::string>& entries, std::string& error) {
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const bool folder = it->symlink_status(ec).type() == fs::file_type::directory;
        if (ec) break;
        entries.push_back(it->path().lexically_relative(dir).generic_string() +
                          (folder ? "/" : ""));
    }
    if (ec) {
        error = "cannot be examined (" + ec.message() + ")";
        return false;
    }
    return true;
}

// The names a report's marker lists; false when `dir` carries no marker of a report.
bool markerOf(const fs::path& dir, std::set<std::string>& listed) {
    std::string text;
    if (!readInputFile((dir / kReportMarker).string(), kMaxMarkerBytes, text).empty()) return false;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMarkerHeader) return false;
    while (std::getline(in, line))
        if (!line.empty()) listed.insert(line);
    return true;
}

// Removes what an earlier report's marker lists, and the folder when nothing
// else is left in it. Only unlink and rmdir: nothing unlisted goes, even if
// it appeared after the folder was checked.
bool removeListed(const fs::path& dir) {
    std::set<std::string> listed;
    if (markerOf(dir, listed)) {
        for (const std::string& name : listed)
            if (name.back() != '/') ::unlink((dir / name).c_str());
        // Deepest folders first.
        for (auto it = listed.rbegin(); it != listed.rend(); ++it)
            if (it->back() == '/') ::rmdir((dir / *it).c_str());
        ::unlink((dir / kReportMarker).c_str());
    }
    return ::rmdir(dir.c_str()) == 0;
}

bool writeMarker(const fs::path& folder, std::string& error) {
    std::vector<std::string> entries;
    if (!entriesOf(folder, entries, error)) {
        error = folder.string() + ": " + error;
        return false;
    }
    std::sort(entries.begin(), entries.end());
    std::string text = std::string(kMarkerHeader) + "\n";
    for (const std::string& e : entries)
        text += e + "\n";
    return writeTextFile((folder / kReportMarker).string(), text, error);
}

// A fresh, empty folder of this run's own named after `dir`.
bool freshFolderBeside(const fs::path& dir, const char* kind, fs::path& folder,
                       std::string& error) {
    std::string pattern = dir.string() + kind + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = pattern + ": cannot be created (" + systemError() + ")";
        return false;
    }
    // A report is as readable as any folder the user makes, not private as
    // mkdtemp leaves it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(pattern.c_str(), 0777 & ~mask);
    folder = pattern;
    return true;
}

} // namespace

std::string replaceProblem(const std::string& dirText) {
    const fs::path dir(dirText);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return errno == ENOENT ? "" : "cannot be examined (" + systemError() + ")";
    if (S_ISLNK(st.st_mode)) return "is a link; not replacing it";
    if (!S_ISDIR(st.st_mode)) return "exists and is not a crash lab report; not replacing it";
    std::error_code ec;
    const bool empty = fs::is_empty(dir, ec);
    if (ec) return "cannot be examined (" + ec.message() + ")";
    if (empty) return "";
    // The marker first: a folder without one (a home folder, say) is not walked.
    std::set<std::string> listed;
    if (!markerOf(dir, listed))
        return std::string("exists and is not a crash lab report (it has no ") + kReportMarker +
               "); not replacing it";
    std::vector<std::string> entries;
    std::string error;
    if (!entriesOf(dir, entries, error)) return error;
    for (const std::string& e : entries)
        if (e != kReportMarker && listed.count(e) == 0)
            return "holds " + shownWord(e, 200) +
                   ", which the crash lab did not make; not replacing it (move that out first)";
    return "";
}

bool makeRunFolder(const std::string& dir, std::string& folder, std::string& error) {
    const fs::path out(dir);
    std::error_code ec;
    if (out.has_parent_path()) fs::create_directories(out.parent_path(), ec);
    if (ec) {
        error = out.parent_path().string() + ": cannot be created (" + ec.message() + ")";
        return false;
    }
    fs::path made;
    if (!freshFolderBeside(out, ".new", made, error)) return false;
    folder = made.string();
    return true;
}

void removeRunFolder(const std::string& folder) {
    std::error_code ec;
    fs::remove_all(folder, ec);
}

bool publishReport(const std::string& folderText, const std::string& dirText, std::string& error,
                   std::string& note) {
    const fs::path folder(folderText), dir(dirText);
    if (!writeMarker(folder, error)) {
        removeRunFolder(folderText);
        return false;
    }
    // The user may have put something into DIR while the scenario played.
    const std::string problem = replaceProblem(dirText);
    if (!problem.empty()) {
        error = dirText + " " + problem + "; this run's report is in " + folderText;
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        if (std::rename(folder.c_str(), dir.c_str()) == 0) return true;
        error = folderText + ": cannot be renamed to " + dirText + " (" + systemError() + ")";
        return false;
    }
    fs::path aside;
    if (!freshFolderBeside(dir, ".old", aside, error)) return false;
    if (std::rename(dir.c_str(), aside.c_str()) != 0) {
        error = dirText + ": cannot be moved aside (" + systemError() +
                "); this run's report is in " + folderText;
        ::rmdir(aside.c_str());
        return false;
    }
    if (std::rename(folder.c_str(), dir.c_str()) != 0) {
        error = folderText + ": cannot be renamed to " + dirText + " (" + systemError() + ")";
        std::rename(aside.c_str(), dir.c_str());
        return false;
    }
    if (!removeListed(aside))
        note = "kept " + aside.string() + ": it holds files the crash lab did not make";
    return true;
}

} // namespace lab
