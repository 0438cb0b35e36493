// Temporary output files that a signal must not leave behind. Each is named in a slot of fixed
// storage before it is created, so that a signal handler can remove every temporary file that
// may exist without reading memory another thread frees, and none is ever created unnamed.
#pragma once

#include <cstddef>
#include <expected>
#include <string>

namespace exporter {

// At most this many temporary files at once: two per converting thread (a document and its
// metadata, or the two tables).
inline constexpr std::size_t max_temporary_files = 2048;

// A temporary file created in `directory`, named after `final_name`, open for reading and
// writing, and known to the signal handler until released.
struct TemporaryFile {
    int fd = -1;
    int slot = -1;
    std::string path;
};

// Creates the temporary file for `final_name` (a file name without directory) in `directory`,
// with `mode`. Its name is ".<final name>.tmp-XXXXXX", the final name shortened where needed so
// that the temporary's name is never longer than the final one can be. The operating system's
// error number when it cannot be made: ENAMETOOLONG when `final_name` itself is too long for the
// directory, EMFILE when every slot is taken, EINTR once a signal is ending the process.
std::expected<TemporaryFile, int> create_temporary_file(const std::string& directory, const std::string& final_name,
                                                        unsigned mode);

// The temporary file of `slot` is no longer the signal handler's to remove: renamed into place,
// or removed by its owner.
void release_temporary_file(int slot) noexcept;

// Between these two calls an interrupt waits: the signal handler removes nothing until every
// thread that entered has left, so that the renames of outputs committed together all happen or
// are all undone. The caller defers interrupts on its own thread for as long (an interrupt
// handled there would wait for itself), and neither allocates nor takes a lock that an
// interrupted thread could hold in between. enter_commit is false when an interrupt is already
// ending the process: then nothing may be renamed (leave_commit is called all the same).
bool enter_commit() noexcept;
void leave_commit() noexcept;

// Makes SIGINT, SIGTERM and SIGHUP (Ctrl-C, Ctrl-Break and closing the console on Windows) remove
// every temporary file that may exist before the process ends as the signal would have ended it;
// a signal that was ignored when the process started stays ignored (as under nohup). Ignores
// SIGPIPE, so that a closed stderr or pipe is a failed write, and SIGXFSZ, so that a write past
// the file size limit fails with EFBIG instead of ending the process; both are then reported and
// cleaned up like a full disk.
void remove_temporary_files_on_signals();

}  // namespace exporter
