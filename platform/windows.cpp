// The platform layer on Windows: every file call is the wide-character one, paths converted from
// UTF-8 here, and Windows' error codes mapped to the C library's error numbers that POSIX gives
// for the same failure, so that messages read as on Linux. Descriptors are the C runtime's,
// over handles opened here.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwctype>

#include "platform.hpp"

namespace platform {

const std::string_view path_separators = "/\\";

namespace {

// The error number POSIX gives for what Windows calls `code`.
int error_number(DWORD code) noexcept {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_NAME: return ENOENT;  // a name Windows cannot hold ("*.raw") names nothing
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_CANNOT_MAKE:
        case ERROR_PRIVILEGE_NOT_HELD: return EACCES;
        case ERROR_WRITE_PROTECT: return EROFS;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_DISK_QUOTA_EXCEEDED: return ENOSPC;
        case ERROR_FILE_TOO_LARGE: return EFBIG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_BROKEN_PIPE:
        case ERROR_PIPE_NOT_CONNECTED:
        case ERROR_NO_DATA: return EPIPE;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK: return EINVAL;
        case ERROR_CALL_NOT_IMPLEMENTED:
        case ERROR_NOT_SUPPORTED: return ENOSYS;
        default: return EIO;
    }
}

int last_error() noexcept { return error_number(::GetLastError()); }

std::wstring widen(std::string_view text) {
    if (text.empty()) return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::string narrow(std::wstring_view wide) {
    if (wide.empty()) return {};
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr, nullptr);
    return text;
}

// The path for a wide file call: made absolute (GetFullPathNameW, which also turns "/" into "\"
// and resolves "." and "..") and prefixed with \\?\ (\\?\UNC\ for a share), which lifts the limit
// of MAX_PATH characters whatever the path's length; a device ("NUL" is \\.\NUL) as it is.
std::wstring file_path(std::string_view path) {
    std::wstring wide = widen(path);
    if (wide.empty() || wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) return wide;
    const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return wide;
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return wide;
    full.resize(length);
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

HANDLE handle_of(int fd) noexcept { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

std::expected<int, int> descriptor_of(HANDLE handle, int flags) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        ::CloseHandle(handle);
        return std::unexpected(EMFILE);
    }
    return fd;
}

// Positioned calls on a handle opened for synchronous use move its position; it is put back, so
// that writes that follow go on where they were.
class PositionKept {
public:
    explicit PositionKept(HANDLE handle) noexcept : handle_(handle) {
        kept_ = ::SetFilePointerEx(handle_, LARGE_INTEGER{}, &position_, FILE_CURRENT) != 0;
    }
    ~PositionKept() {
        if (kept_) ::SetFilePointerEx(handle_, position_, nullptr, FILE_BEGIN);
    }

private:
    HANDLE handle_;
    LARGE_INTEGER position_{};
    bool kept_ = false;
};

OVERLAPPED at_offset(std::uint64_t offset) noexcept {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
}

DWORD chunk(std::size_t size) noexcept { return static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)); }

bool is_directory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether `name` matches the wildcard `pattern` ("*" any run, "?" one character), ignoring the
// case of ASCII letters as Windows file names do.
bool matches(std::wstring_view pattern, std::wstring_view name) {
    std::size_t p = 0, n = 0, star = std::wstring_view::npos, resume = 0;
    auto same = [](wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); };
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || same(pattern[p], name[n]))) {
            ++p, ++n;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            star = p++, resume = n;
        } else if (star != std::wstring_view::npos) {
            p = star + 1, n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

// The names an argument with wildcards in its last component stands for, sorted, or the
// argument alone when it has none or matches nothing.
std::vector<std::string> expand(const std::string& argument) {
    const std::size_t cut = argument.find_last_of(path_separators) + 1;  // 0 without a separator
    const std::string_view last = std::string_view(argument).substr(cut);
    if (last.find_first_of("*?") == std::string_view::npos) return {argument};
    const std::wstring pattern = widen(last);
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW(file_path(argument).c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                       nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return {argument};
    std::vector<std::string> names;
    do {
        const std::wstring_view name = found.cFileName;
        // The system also matches the short 8.3 names; only long names count.
        if (name != L"." && name != L".." && matches(pattern, name)) names.push_back(argument.substr(0, cut) + narrow(name));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    if (names.empty()) return {argument};
    std::sort(names.begin(), names.end());
    return names;
}

void (*interrupt_cleanup)() = nullptr;

BOOL WINAPI clean_up_and_end(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            interrupt_cleanup();
            // As the default handler ends a process; the temporary files, removed while open,
            // go with their last handle.
            ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
            return TRUE;
        default: return FALSE;
    }
}

UINT console_code_page = 0;
bool progress_shown = false;

}  // namespace

std::expected<int, int> open_read_only(const std::string& path) {
    // Backup semantics opens a directory too, so that it is refused as one; sharing lets the
    // acquisition software go on writing other files, and the file be renamed or removed.
    HANDLE handle = ::CreateFileW(file_path(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
    return descriptor_of(handle, _O_RDONLY);
}

std::expected<int, int> create_new_file(const std::string& path, unsigned) {
    HANDLE handle = ::CreateFileW(file_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
    return descriptor_of(handle, 0);
}

std::expected<int, int> duplicate(int fd) {
    HANDLE copy;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle_of(fd), ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return std::unexpected(last_error());
    return descriptor_of(copy, _O_RDONLY);
}

int close(int fd) noexcept { return ::_close(fd) == 0 ? 0 : errno; }

std::expected<FileKind, int> kind_of(int fd) {
    const HANDLE handle = handle_of(fd);
    if (handle == INVALID_HANDLE_VALUE) return std::unexpected(EBADF);
    switch (::GetFileType(handle)) {
        case FILE_TYPE_CHAR: return FileKind::CharacterDevice;
        case FILE_TYPE_PIPE: return FileKind::Fifo;
        case FILE_TYPE_DISK: break;
        default: return FileKind::Other;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information)) return std::unexpected(last_error());
    return information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? FileKind::Directory : FileKind::Regular;
}

std::expected<std::uint64_t, int> size_of(int fd) {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_of(fd), &size)) return std::unexpected(last_error());
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::expected<std::size_t, int> read_at(int fd, void* into, std::size_t size, std::uint64_t offset) noexcept {
    const HANDLE handle = handle_of(fd);
    const PositionKept kept(handle);
    OVERLAPPED overlapped = at_offset(offset);
    DWORD got = 0;
    if (!::ReadFile(handle, into, chunk(size), &got, &overlapped)) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_HANDLE_EOF) return 0;
        return std::unexpected(error_number(code));
    }
    return got;
}

std::expected<std::size_t, int> write(int fd, const void* bytes, std::size_t size) noexcept {
    DWORD written = 0;
    if (!::WriteFile(handle_of(fd), bytes, chunk(size), &written, nullptr)) return std::unexpected(last_error());
    return written;
}

std::expected<std::size_t, int> write_at(int fd, const void* bytes, std::size_t size, std::uint64_t offset) noexcept {
    const HANDLE handle = handle_of(fd);
    const PositionKept kept(handle);
    OVERLAPPED overlapped = at_offset(offset);
    DWORD written = 0;
    if (!::WriteFile(handle, bytes, chunk(size), &written, &overlapped)) return std::unexpected(last_error());
    return written;
}

int seek(int fd, std::uint64_t offset) noexcept {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle_of(fd), to, nullptr, FILE_BEGIN) ? 0 : last_error();
}

int sync(int fd) noexcept { return ::FlushFileBuffers(handle_of(fd)) ? 0 : last_error(); }

int rename(const std::string& from, const std::string& to, bool replace) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return ::MoveFileExW(file_path(from).c_str(), file_path(to).c_str(), flags) ? 0 : last_error();
}

// Windows has no call that swaps two names.
int exchange(const std::string&, const std::string&) { return ENOSYS; }

// Renames are written through; a directory has nothing more to sync.
std::expected<int, int> open_directory(const std::string&) { return -1; }

int sync_directory(int) noexcept { return 0; }

int remove_file(const char* path) noexcept {
    try {
        return ::DeleteFileW(file_path(path).c_str()) ? 0 : last_error();
    } catch (...) {
        return ENOMEM;
    }
}

// Looked up in its directory: a device's name ("NUL.mzML" is NUL to older Windows) is no file there.
bool exists(const std::string& path) {
    WIN32_FIND_DATAW found;
    const HANDLE search =
        ::FindFirstFileExW(file_path(path).c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return false;
    ::FindClose(search);
    const std::wstring name = widen(std::string_view(path).substr(path.find_last_of(path_separators) + 1));
    return ::CompareStringOrdinal(name.c_str(), -1, found.cFileName, -1, TRUE) == CSTR_EQUAL;
}

bool is_directory(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(file_path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int make_directories(const std::string& path) {
    for (std::size_t at = path.find_first_of(path_separators, 1); at != std::string::npos;
         at = path.find_first_of(path_separators, at + 1))
        ::CreateDirectoryW(file_path(path.substr(0, at)).c_str(), nullptr);  // a parent that cannot be made fails the last step
    const std::wstring wide = file_path(path);
    if (::CreateDirectoryW(wide.c_str(), nullptr) || is_directory(wide)) return 0;
    const DWORD code = ::GetLastError();
    if (code == ERROR_ALREADY_EXISTS) return ENOTDIR;
    // Below a file, Windows finds no path where POSIX finds a component that is no directory.
    for (std::size_t at = path.find_first_of(path_separators, 1); at != std::string::npos;
         at = path.find_first_of(path_separators, at + 1)) {
        const DWORD attributes = ::GetFileAttributesW(file_path(path.substr(0, at)).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ENOTDIR;
    }
    return error_number(code);
}

// NTFS and the other file systems of Windows take names of 255 UTF-16 units; counted in bytes
// here, a name of ASCII letters reaches the limit, one of other letters stops short of it.
std::size_t longest_file_name(const std::string&) { return 255; }

std::string absolute_directory(const std::string& directory) {
    const std::wstring wide = file_path(directory);
    const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return directory;
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return directory;
    full.resize(length);
    if (full.starts_with(L"\\\\?\\UNC\\")) full = L"\\\\" + full.substr(8);
    else if (full.starts_with(L"\\\\?\\")) full = full.substr(4);
    std::string text = narrow(full);
    std::replace(text.begin(), text.end(), '\\', '/');
    while (text.size() > 1 && text.back() == '/' && text[text.size() - 2] != ':') text.pop_back();
    if (text.size() >= 2 && text[1] == ':') text.insert(0, "/");  // "/C:/Data", as a URI's path has it
    return text;
}

std::size_t page_size() noexcept {
    SYSTEM_INFO information;
    ::GetSystemInfo(&information);
    return information.dwPageSize;
}

void* map_memory(std::size_t length) noexcept {
    return ::VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_memory(void* at, std::size_t) noexcept { ::VirtualFree(at, 0, MEM_RELEASE); }

void populate(void*, std::size_t) noexcept {}

// Nothing is marked here: kept blocks stay as they are.
void mark_reclaimable(void*, std::size_t) noexcept {}

std::uint64_t process_id() noexcept { return ::GetCurrentProcessId(); }

// The C runtime's descriptors: as many as it has room for.
std::size_t raise_open_file_limit(std::size_t) noexcept { return 8192; }

std::vector<std::string> program_arguments(int, char**) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    if (!wide) return arguments;
    for (int i = 1; i < count; ++i)
        for (std::string& argument : expand(narrow(wide[i]))) arguments.push_back(std::move(argument));
    ::LocalFree(wide);
    return arguments;
}

void prepare_standard_streams() {
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    if (const UINT page = ::GetConsoleOutputCP(); page != 0 && page != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
        console_code_page = page;
        std::atexit([] { ::SetConsoleOutputCP(console_code_page); });
    }
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    progress_shown = ::GetConsoleMode(error, &mode) &&
                     ::SetConsoleMode(error, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool standard_error_is_terminal() noexcept { return progress_shown; }

void on_interrupt(void (*cleanup)()) {
    interrupt_cleanup = cleanup;
    ::SetConsoleCtrlHandler(clean_up_and_end, TRUE);
}

// The console's handler runs on a thread of its own, never one that holds this object.
InterruptsDeferred::InterruptsDeferred() noexcept {}
InterruptsDeferred::~InterruptsDeferred() {}

void pause_briefly() noexcept { ::Sleep(1); }

}  // namespace platform
