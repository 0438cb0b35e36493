// What differs between operating systems, behind one interface: files (opened, read and written
// at offsets, synced, renamed, removed), directories, memory, the console, the program's
// arguments and what an interrupt does. posix.cpp and windows.cpp implement it; CMake builds the
// one for the system. Paths are UTF-8 text. Files are the C library's descriptors. Errors are the
// C library's error numbers (ENOENT, EEXIST, ...), the same ones on every system, so that
// os_text words them alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The characters that separate the components of a path: "/", and on Windows "\" too, the
// system's own last.
extern const std::string_view path_separators;
// The longest path, in bytes, that the program names a temporary file by.
inline constexpr std::size_t max_path_bytes = 4096;

// --- files ---

enum class FileKind { Regular, Directory, Fifo, CharacterDevice, BlockDevice, Socket, Other };

// Opens `path` for reading only, without waiting (a FIFO opens at once) and without making it
// the controlling terminal; a directory opens too, so that the caller can say what it is.
std::expected<int, int> open_read_only(const std::string& path);
// Creates `path`, which must not exist, for reading and writing, with `mode` where the system
// has modes (less the umask). The file can be removed while it is open.
std::expected<int, int> create_new_file(const std::string& path, unsigned mode);
// A second descriptor of the same open file.
std::expected<int, int> duplicate(int fd);
// 0 or the error number.
int close(int fd) noexcept;

std::expected<FileKind, int> kind_of(int fd);
std::expected<std::uint64_t, int> size_of(int fd);

// Reads at most `size` bytes at `offset` without moving the file's position; 0 at the end.
std::expected<std::size_t, int> read_at(int fd, void* into, std::size_t size, std::uint64_t offset) noexcept;
// Writes at most `size` bytes at the file's position, or at `offset` without moving it.
std::expected<std::size_t, int> write(int fd, const void* bytes, std::size_t size) noexcept;
std::expected<std::size_t, int> write_at(int fd, const void* bytes, std::size_t size, std::uint64_t offset) noexcept;
// Moves the file's position to `offset`; 0 or the error number.
int seek(int fd, std::uint64_t offset) noexcept;
// Writes the file's data to the disk (fsync); 0 or the error number.
int sync(int fd) noexcept;

// Renames `from` to `to`, replacing an existing `to` only when `replace` is set (EEXIST
// otherwise), durably where the system lets the rename itself be; 0 or the error number.
int rename(const std::string& from, const std::string& to, bool replace);
// Swaps the names of the existing files `a` and `b` in one step; 0 or the error number, ENOSYS
// where the system or the file system cannot.
int exchange(const std::string& a, const std::string& b);
// Opens the directory `path` so that its names can be made durable later without opening
// anything then: a descriptor, or -1 where the system needs none (close it with close()); or
// the error number.
std::expected<int, int> open_directory(const std::string& path);
// Makes the names in a directory from open_directory durable where the system needs that
// separately; 0 or the error number.
int sync_directory(int directory) noexcept;
// Removes the file `path`; safe in an interrupt handler. 0 or the error number.
int remove_file(const char* path) noexcept;
// Whether anything exists at `path` (a link is not followed).
bool exists(const std::string& path);
// Whether `path` is a directory (a link is not followed).
bool is_directory(const std::string& path);
// Makes the directory `path` and any missing parents; 0 or the error number (ENOTDIR when
// `path` exists but is no directory).
int make_directories(const std::string& path);
// The longest file name, in bytes, that `directory` takes.
std::size_t longest_file_name(const std::string& directory);
// The absolute form of `directory` with "/" between components ("/C:/Data" on Windows), links
// resolved where the system has them; `directory` itself when it cannot be resolved.
std::string absolute_directory(const std::string& directory);

// --- memory ---

std::size_t page_size() noexcept;
// `length` bytes of fresh zeroed memory straight from the system, or nullptr.
void* map_memory(std::size_t length) noexcept;
void unmap_memory(void* at, std::size_t length) noexcept;
// Faults in the pages of [at, at + length) with one call where the system can; a hint.
void populate(void* at, std::size_t length) noexcept;
// Lets the system take back the pages of [at, at + length), page-aligned, when memory is tight,
// instead of writing them anywhere: a page written again before that keeps what is written,
// one taken back reads as zeros. Where the system cannot, the pages stay as they are.
void mark_reclaimable(void* at, std::size_t length) noexcept;

// --- the process ---

std::uint64_t process_id() noexcept;
// Raises the number of files the process may hold open towards `wanted`, as far as the system
// lets it; the number in force.
std::size_t raise_open_file_limit(std::size_t wanted) noexcept;
// The program's arguments without its name, as UTF-8. On Windows they are read as the UTF-16
// command line and an argument with "*" or "?" in its last component is replaced by the names it
// matches, sorted (as a POSIX shell would have done), or kept when it matches none.
std::vector<std::string> program_arguments(int argc, char** argv);
// Standard output and error written as bytes, never translated; on Windows the console shows
// UTF-8 and takes the escape sequences of the progress line.
void prepare_standard_streams();
bool standard_error_is_terminal() noexcept;

// Makes an interrupt of the process (SIGINT, SIGTERM, SIGHUP; Ctrl-C, Ctrl-Break or the console
// closing on Windows) call `cleanup`, then end the process as the interrupt would have. A signal
// that was ignored when the process started stays ignored. A write to a closed pipe, or past the
// file size limit, fails with an error instead of ending the process.
void on_interrupt(void (*cleanup)());
// While an object lives, interrupts are not handled on the calling thread (they wait, or are
// handled on another thread).
class InterruptsDeferred {
public:
    InterruptsDeferred() noexcept;
    ~InterruptsDeferred();
    InterruptsDeferred(const InterruptsDeferred&) = delete;
    InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;

private:
    [[maybe_unused]] alignas(8) unsigned char saved_[128];  // the signal mask, where there is one
};
// Waits about a millisecond; safe in an interrupt handler.
void pause_briefly() noexcept;

}  // namespace platform
