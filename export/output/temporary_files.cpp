#include "export/output/temporary_files.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "platform.hpp"

namespace exporter {
namespace {

enum SlotState : int { free_slot, naming_slot, armed_slot };

// A slot's path is written only while its state is `naming_slot` and by the thread that claimed
// it; the handler removes the paths of `armed_slot` slots, whose files may exist.
struct Slot {
    std::atomic<int> state{free_slot};
    char path[platform::max_path_bytes];
};
std::array<Slot, max_temporary_files> slots;

// Threads between claiming a slot and knowing whether its file was created; the handler waits
// for them, and none enters once `ending` is set, so no file appears after the handler looked.
std::atomic<int> naming_threads{0};
std::atomic<bool> ending{false};
// Threads committing outputs; the handler waits for them, however long their renames take.
std::atomic<int> committing_threads{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Called on an interrupt, before the process ends.
void remove_temporaries() {
    ending.store(true);
    // A thread that is naming a file defers interrupts, so it is not this one; it finishes at
    // once, and a stuck file system is waited for a second at most.
    for (int waited = 0; naming_threads.load() > 0 && waited < 1000; ++waited) platform::pause_briefly();
    while (committing_threads.load() > 0) platform::pause_briefly();
    for (Slot& slot : slots)
        if (slot.state.load() == armed_slot) platform::remove_file(slot.path);
}

// Six characters for a file name, different on every call.
void random_suffix(char* out) {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = counter.fetch_add(1) * 0x9E3779B97F4A7C15ull ^
                      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (platform::process_id() << 32);
    x ^= x >> 30;  // splitmix64's finaliser
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int i = 0; i < 6; ++i, x /= 62) out[i] = letters[x % 62];
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
    const std::size_t limit = platform::longest_file_name(directory);
    if (final_name.size() > limit) return std::unexpected(ENAMETOOLONG);
    const std::string prefix = (directory == "/" ? "" : directory) + "/" + temporary_name_prefix(final_name, limit);
    if (prefix.size() + 6 + 1 > platform::max_path_bytes) return std::unexpected(ENAMETOOLONG);

    const platform::InterruptsDeferred deferred;
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
        const auto fd = platform::create_new_file(slot.path, mode);
        if (fd) return TemporaryFile{*fd, static_cast<int>(claimed), std::string(slot.path)};
        const int error = fd.error();
        slot.state.store(naming_slot);  // a file of that name is someone else's
        if (error != EEXIST) {
            slot.state.store(free_slot);
            return std::unexpected(error);
        }
    }
    slot.state.store(free_slot);
    return std::unexpected(EEXIST);
}

bool enter_commit() noexcept {
    // Counted before `ending` is read, as the handler sets `ending` before it reads the count:
    // either this thread sees the interrupt, or the handler waits until it leaves.
    committing_threads.fetch_add(1);
    return !ending.load();
}

void leave_commit() noexcept { committing_threads.fetch_sub(1); }

void release_temporary_file(int slot) noexcept {
    if (slot >= 0 && static_cast<std::size_t>(slot) < slots.size())
        slots[static_cast<std::size_t>(slot)].state.store(free_slot);
}

void remove_temporary_files_on_signals() { platform::on_interrupt(remove_temporaries); }

}  // namespace exporter
