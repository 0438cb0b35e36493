#include "export/output/commit_unit.hpp"

#include <cerrno>

#include "export/output/paths.hpp"
#include "export/output/temporary_files.hpp"
#include "os_text.hpp"
#include "platform.hpp"

namespace exporter {
namespace {

// Where a replaced file waits until the unit is in place, when the system cannot swap two names:
// the temporary file's name with ".old-" for ".tmp-", as long and as hidden.
std::string aside_name(const std::string& temporary) {
    std::string aside = temporary;
    if (const std::size_t at = aside.rfind(".tmp-"); at != std::string::npos) aside.replace(at, 5, ".old-");
    return aside;
}

// While it lives, interrupts wait (commit_unit's renames all happen or are all undone).
class CommitWindow {
public:
    CommitWindow() noexcept : entered_(enter_commit()) {}
    ~CommitWindow() { leave_commit(); }
    CommitWindow(const CommitWindow&) = delete;
    CommitWindow& operator=(const CommitWindow&) = delete;
    bool interrupted() const noexcept { return !entered_; }

private:
    const platform::InterruptsDeferred deferred_;  // made first, ended last
    const bool entered_;
};

// One file's way into place, and how far it went, so that it can be undone.
struct Placing {
    OutputFile* file;
    std::string temporary;  // the new file's name until it is placed
    std::string aside;
    bool exchanged = false;  // the new file under the final name, the old one under the temporary's
    bool old_aside = false;  // the old file under `aside`
    bool placed = false;     // the new file under the final name (renamed, not swapped)
    int removal_error = 0;   // of the replaced file, once the unit is in place
};

// Puts the new file of `p` under its final name; 0 or the error number. Nothing here allocates:
// it runs while an interrupt waits.
int place(Placing& p, bool replace) noexcept {
    const std::string& temporary = p.temporary;
    const std::string& final_path = p.file->final_path();
    if (replace) {
        const int error = platform::exchange(temporary, final_path);
        if (error == 0) {
            p.exchanged = true;
            return 0;
        }
        if (error == ENOSYS) {  // no swapping here: the old file goes aside first
            const int moved = platform::rename(final_path, p.aside, false);
            if (moved != 0 && moved != ENOENT) return moved;
            p.old_aside = moved == 0;
        } else if (error != ENOENT) {  // ENOENT: there is no old file
            return error;
        }
    }
    const int error = platform::rename(temporary, final_path, false);
    p.placed = error == 0;
    return error;
}

// Puts the names of `p` back as they were; 0 or the error number of the step that failed.
int undo(Placing& p) noexcept {
    const std::string& temporary = p.temporary;
    const std::string& final_path = p.file->final_path();
    int error = 0;
    if (p.exchanged) error = platform::exchange(temporary, final_path);
    if (p.placed) error = platform::rename(final_path, temporary, false);
    if (p.old_aside && error == 0) error = platform::rename(p.aside, final_path, false);
    return error;
}

}  // namespace

CommitOutcome commit_unit(std::span<OutputFile* const> files, bool replace) {
    CommitOutcome outcome;
    // Every file is whole on the disk before any name changes.
    for (std::size_t i = 0; i < files.size(); ++i)
        if (const int error = files[i]->seal(); error != 0) return {error, i, {}};
    std::vector<Placing> placings;
    for (OutputFile* file : files)
        if (!file->temporary_path().empty()) placings.push_back({file, file->temporary_path(), aside_name(file->temporary_path())});
    if (placings.empty()) return outcome;  // standard output
    for (std::size_t i = 0; i < placings.size(); ++i)
        if (replace && platform::is_directory(placings[i].file->final_path())) return {EISDIR, i, {}};
    // Opened now, so that running out of descriptors cannot stop the sync after the renames.
    const std::string directory = directory_of(placings[0].file->final_path());
    const auto directory_fd = platform::open_directory(directory);
    if (!directory_fd) return {directory_fd.error(), 0, {}};

    int sync_error = 0, undo_error = 0;
    std::size_t undo_failed = 0;
    {
        const CommitWindow window;
        if (window.interrupted()) outcome.error = EINTR;
        for (std::size_t i = 0; i < placings.size() && outcome.error == 0; ++i)
            if (const int error = place(placings[i], replace); error != 0) outcome = {error, i, {}};
        if (outcome.error != 0) {
            for (std::size_t i = placings.size(); i-- > 0;)
                if (const int error = undo(placings[i]); error != 0 && undo_error == 0) {
                    undo_error = error;
                    undo_failed = i;
                }
            platform::sync_directory(*directory_fd);
        } else {
            // Every new file is in place: from here on nothing is undone.
            sync_error = platform::sync_directory(*directory_fd);
            for (Placing& p : placings) {
                if (p.exchanged) p.removal_error = platform::remove_file(p.temporary.c_str());
                if (p.old_aside) p.removal_error = platform::remove_file(p.aside.c_str());
                p.file->committed();
            }
        }
    }
    if (*directory_fd >= 0) platform::close(*directory_fd);

    if (undo_error != 0)
        outcome.warnings.push_back("could not put " + placings[undo_failed].file->final_path() + " back as it was: " +
                                   os_text::error_text(undo_error));
    if (outcome.error != 0) return outcome;
    if (sync_error != 0)
        outcome.warnings.push_back("the outputs are in place, but syncing " + directory + " failed (" +
                                   os_text::error_text(sync_error) + "), so a power failure may lose their names");
    for (const Placing& p : placings)
        if (p.removal_error != 0)
            outcome.warnings.push_back("the file " + p.file->final_path() + " replaced is left as " +
                                       (p.exchanged ? p.temporary : p.aside) + ": " +
                                       os_text::error_text(p.removal_error));
    return outcome;
}

}  // namespace exporter
