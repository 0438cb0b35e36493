#include "export/temporary_files.hpp"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace exporter {
namespace {

constexpr int handled_signals[] = {SIGINT, SIGTERM, SIGHUP};

enum SlotState : int { free_slot, naming_slot, armed_slot };

// A slot's path is written only while its state is `naming_slot` and by the thread that claimed
// it; the handler removes the paths of `armed_slot` slots, whose files may exist.
struct Slot {
    std::atomic<int> state{free_slot};
    char path[PATH_MAX];
};
std::array<Slot, max_temporary_files> slots;

// Threads between claiming a slot and knowing whether its file was created; the handler waits
// for them, and none enters once `ending` is set, so no file appears after the handler looked.
std::atomic<int> naming_threads{0};
std::atomic<bool> ending{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

extern "C" void remove_temporaries_and_reraise(int signal) {
    ending.store(true);
    // A thread that is naming a file has the handled signals blocked, so it is not this one;
    // it finishes at once, and a stuck file system is waited for a second at most.
    for (int waited = 0; naming_threads.load() > 0 && waited < 1000; ++waited) {
        const timespec millisecond{0, 1'000'000};
        ::nanosleep(&millisecond, nullptr);
    }
    for (Slot& slot : slots)
        if (slot.state.load() == armed_slot) ::unlink(slot.path);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Blocks the handled signals on this thread for the life of the object.
class SignalsBlocked {
public:
    SignalsBlocked() noexcept {
        sigset_t set;
        sigemptyset(&set);
        for (const int s : handled_signals) sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, &saved_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_;
};

// Six characters for a file name, different on every call.
void random_suffix(char* out) {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = counter.fetch_add(1) * 0x9E3779B97F4A7C15ull ^
                      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (static_cast<std::uint64_t>(::getpid()) << 32);
    x ^= x >> 30;  // splitmix64's finaliser
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int i = 0; i < 6; ++i, x /= 62) out[i] = letters[x % 62];
}

// The longest file name the directory takes.
std::size_t name_max(const std::string& directory) {
    const long limit = ::pathconf(directory.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

// The temporary's name for `final_name`, without its six random characters, within `limit` bytes
// once they are added; a shortened name is cut before a UTF-8 sequence, never inside one.
std::string temporary_name_prefix(const std::string& final_name, std::size_t limit) {
    constexpr std::size_t added = 1 + 5 + 6;  // ".", ".tmp-", the random characters
    std::size_t keep = final_name.size();
    if (keep + added > limit) {
        keep = limit > added ? limit - added : 0;
        while (keep > 0 && (static_cast<unsigned char>(final_name[keep]) & 0xC0) == 0x80) --keep;
    }
    std::string prefix = ".";
    prefix.append(final_name, 0, keep).append(".tmp-");
    return prefix;
}

}  // namespace

std::expected<TemporaryFile, int> create_temporary_file(const std::string& directory, const std::string& final_name,
                                                        unsigned mode) {
    const std::size_t limit = name_max(directory);
    if (final_name.size() > limit) return std::unexpected(ENAMETOOLONG);
    const std::string prefix = (directory == "/" ? "" : directory) + "/" + temporary_name_prefix(final_name, limit);
    if (prefix.size() + 6 + 1 > PATH_MAX) return std::unexpected(ENAMETOOLONG);

    const SignalsBlocked blocked;
    naming_threads.fetch_add(1);
    struct Leave {
        ~Leave() { naming_threads.fetch_sub(1); }
    } leave;
    if (ending.load()) return std::unexpected(EINTR);
    std::size_t claimed = slots.size();
    for (std::size_t i = 0; i < slots.size() && claimed == slots.size(); ++i) {
        int expected = free_slot;
        if (slots[i].state.compare_exchange_strong(expected, naming_slot)) claimed = i;
    }
    if (claimed == slots.size()) return std::unexpected(EMFILE);
    Slot& slot = slots[claimed];
    std::memcpy(slot.path, prefix.data(), prefix.size());
    slot.path[prefix.size() + 6] = '\0';
    for (int attempt = 0; attempt < 100; ++attempt) {
        random_suffix(slot.path + prefix.size());
        slot.state.store(armed_slot);  // named before it exists
        int fd;
        do {
            fd = ::open(slot.path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, static_cast<mode_t>(mode));
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) return TemporaryFile{fd, static_cast<int>(claimed), std::string(slot.path)};
        const int error = errno;
        slot.state.store(naming_slot);  // a file of that name is someone else's
        if (error != EEXIST) {
            slot.state.store(free_slot);
            return std::unexpected(error);
        }
    }
    slot.state.store(free_slot);
    return std::unexpected(EEXIST);
}

void release_temporary_file(int slot) noexcept {
    if (slot >= 0 && static_cast<std::size_t>(slot) < slots.size())
        slots[static_cast<std::size_t>(slot)].state.store(free_slot);
}

void remove_temporary_files_on_signals() {
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_reraise;
    sigemptyset(&action.sa_mask);
    for (const int s : handled_signals) sigaddset(&action.sa_mask, s);
    for (const int s : handled_signals) {
        struct sigaction current {};
        if (::sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &action, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace exporter
