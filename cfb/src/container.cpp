// The container: header, allocation tables, directory tree and stream reads.
#include "cfb/cfb.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <optional>

#include "names.hpp"
#include "os_text.hpp"
#include "platform.hpp"

namespace cfb {
namespace {

constexpr std::array<std::uint8_t, 8> signature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint32_t max_regular_sector = 0xFFFFFFFA;
constexpr std::uint32_t end_of_chain = 0xFFFFFFFE;
constexpr std::uint32_t no_stream = 0xFFFFFFFF;
constexpr std::size_t header_size = 512;
constexpr std::size_t directory_entry_size = 128;
constexpr std::size_t header_difat_entries = 109;
constexpr std::uint32_t mini_sector_size = 64;
constexpr std::uint32_t mini_stream_cutoff = 4096;

std::uint16_t u16_at(std::span<const std::byte> b, std::size_t at) noexcept {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(b[at]) |
                                      std::to_integer<unsigned>(b[at + 1]) << 8);
}
std::uint32_t u32_at(std::span<const std::byte> b, std::size_t at) noexcept {
    return static_cast<std::uint32_t>(u16_at(b, at)) | static_cast<std::uint32_t>(u16_at(b, at + 2)) << 16;
}
std::uint64_t u64_at(std::span<const std::byte> b, std::size_t at) noexcept {
    return static_cast<std::uint64_t>(u32_at(b, at)) | static_cast<std::uint64_t>(u32_at(b, at + 4)) << 32;
}

std::string sector_text(std::uint32_t sector) { return std::to_string(sector); }

// Reads exactly `size` bytes at `offset`, or says why not.
std::optional<ReadError> read_exact(int fd, std::byte* out, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const auto got = platform::read_at(fd, out, size, offset);
        if (!got) return ReadError{got.error(), os_text::error_text(got.error())};
        if (*got == 0) return ReadError{0, "data reaches past the end of the file"};
        out += *got;
        size -= *got;
        offset += *got;
    }
    return std::nullopt;
}

struct Node {
    std::u16string name;
    EntryKind kind = EntryKind::Stream;
    std::uint32_t left = no_stream, right = no_stream, child = no_stream;
    std::uint32_t start = 0;
    std::uint64_t size = 0;
    std::uint64_t created = 0;
    std::uint32_t first_child = 0, child_count = 0;  // range of `children`, filled by the walk
    bool usable = false;                              // a root, storage or stream entry
};

}  // namespace

struct Container::State {
    File file;
    std::uint64_t file_size = 0;
    int version = 3;
    std::uint32_t sector_size = 512;
    std::uint32_t sector_count = 0;  // sectors that begin inside the file
    std::vector<std::uint32_t> fat;
    std::uint32_t first_mini_fat = end_of_chain;

    std::vector<Node> nodes;              // the directory, by entry number
    std::vector<std::uint32_t> children;  // children of each storage, ranges given by the nodes
    std::vector<Entry> entries;           // pre-order
    std::vector<std::uint32_t> entry_node;  // entry index -> directory entry number
    std::vector<std::uint32_t> node_entry;  // directory entry number -> entry index

    // The mini stream and its allocation table, read on the first read of a small stream.
    mutable bool mini_loaded = false;
    mutable std::optional<ReadError> mini_error;
    mutable Bytes mini_stream;
    mutable std::vector<std::uint32_t> mini_fat;

    // Marks for cycle detection: a sector belongs to the current chain when its mark equals
    // the current epoch, so no clearing is needed between chains.
    mutable std::vector<std::uint32_t> marks;
    mutable std::uint32_t epoch = 0;

    std::uint64_t sector_offset(std::uint32_t sector) const noexcept {
        return (static_cast<std::uint64_t>(sector) + 1) * sector_size;
    }

    std::uint32_t next_epoch() const {
        if (++epoch == 0) {
            std::fill(marks.begin(), marks.end(), 0);
            epoch = 1;
        }
        return epoch;
    }

    // Follows a chain through `table`. With `want` set, takes exactly that many sectors (the
    // chain may go on); without, runs to the end-of-chain mark. Every sector must be below
    // `bound` and appear once.
    std::expected<std::vector<std::uint32_t>, std::string> chain(
        const std::vector<std::uint32_t>& table, std::uint32_t start, std::uint32_t bound,
        std::optional<std::uint64_t> want, const char* what) const {
        std::vector<std::uint32_t> sectors;
        if (want) {
            if (*want > bound)
                return std::unexpected(std::string(what) + " needs " + std::to_string(*want) +
                                       " sectors but only " + std::to_string(bound) + " exist");
            sectors.reserve(static_cast<std::size_t>(*want));
        }
        if (marks.size() < bound) marks.resize(bound, 0);
        const std::uint32_t mark = next_epoch();
        std::uint32_t sector = start;
        while (want ? sectors.size() < *want : sector != end_of_chain) {
            if (sector == end_of_chain)
                return std::unexpected(std::string(what) + " chain ends after " +
                                       std::to_string(sectors.size()) + " of " +
                                       std::to_string(*want) + " sectors");
            if (sector >= bound || sector >= table.size())
                return std::unexpected(std::string(what) + " chain points at sector " +
                                       sector_text(sector) + " outside the file");
            if (marks[sector] == mark)
                return std::unexpected(std::string(what) + " chain loops at sector " + sector_text(sector));
            marks[sector] = mark;
            sectors.push_back(sector);
            sector = table[sector];
        }
        return sectors;
    }

    // Reads `size` bytes laid out in `sectors` (of `unit` bytes each) from `source`, gathering
    // runs of consecutive sectors into single reads.
    std::optional<ReadError> gather(const std::vector<std::uint32_t>& sectors, std::uint32_t unit,
                                    std::uint64_t size, std::byte* out, const Bytes* source) const {
        std::uint64_t done = 0;
        std::size_t i = 0;
        while (done < size) {
            std::size_t j = i + 1;
            while (j < sectors.size() && sectors[j] == sectors[j - 1] + 1) ++j;
            const std::uint64_t run = std::min<std::uint64_t>(size - done, std::uint64_t(j - i) * unit);
            if (source) {
                const std::uint64_t from = std::uint64_t(sectors[i]) * unit;
                if (from + run > source->size())
                    return ReadError{0, "mini stream sector " + sector_text(sectors[i]) +
                                            " lies outside the mini stream"};
                std::memcpy(out + done, source->data() + from, static_cast<std::size_t>(run));
            } else if (auto error = read_exact(file.fd(), out + done, static_cast<std::size_t>(run),
                                               sector_offset(sectors[i]))) {
                return error;
            }
            done += run;
            i = j;
        }
        return std::nullopt;
    }

    // A size from the directory, checked against the file before any arithmetic on it.
    std::optional<ReadError> check_fits(std::uint64_t size, const char* what) const {
        if (size <= std::uint64_t{sector_count} * sector_size) return std::nullopt;
        return ReadError{0, std::string(what) + " of " + std::to_string(size) + " bytes cannot fit in a file of " +
                                std::to_string(file_size) + " bytes"};
    }

    // Reads `out.size()` bytes (checked to fit) of the chain from `start` into `out`.
    std::optional<ReadError> read_chain_into(std::uint32_t start, std::span<std::byte> out, const char* what) const {
        const std::uint64_t want = (out.size() + sector_size - 1) / sector_size;
        auto sectors = chain(fat, start, sector_count, want, what);
        if (!sectors) return ReadError{0, sectors.error()};
        return gather(*sectors, sector_size, out.size(), out.data(), nullptr);
    }

    std::expected<Bytes, ReadError> read_chain(std::uint32_t start, std::uint64_t size, const char* what) const {
        if (auto error = check_fits(size, what)) return std::unexpected(*error);
        Bytes out(static_cast<std::size_t>(size));
        if (auto error = read_chain_into(start, std::span(out.data(), out.size()), what)) return std::unexpected(*error);
        return out;
    }

    std::optional<ReadError> load_mini() const {
        if (mini_loaded) return mini_error;
        mini_loaded = true;
        const Node& root = nodes[0];
        auto stream = read_chain(root.start, root.size, "mini stream");
        if (!stream) return mini_error = stream.error();
        mini_stream = std::move(*stream);
        auto sectors = chain(fat, first_mini_fat, sector_count, std::nullopt, "mini FAT");
        if (!sectors) return mini_error = ReadError{0, sectors.error()};
        std::vector<std::byte> raw(sectors->size() * std::size_t{sector_size});
        if (auto error = gather(*sectors, sector_size, raw.size(), raw.data(), nullptr))
            return mini_error = *error;
        mini_fat.resize(raw.size() / 4);
        for (std::size_t k = 0; k < mini_fat.size(); ++k) mini_fat[k] = u32_at(raw, 4 * k);
        return std::nullopt;
    }

    std::optional<std::uint32_t> find(std::string_view path) const {
        std::uint32_t at = 0;
        std::size_t pos = 0;
        while (pos <= path.size()) {
            std::size_t slash = path.find('/', pos);
            if (slash == std::string_view::npos) slash = path.size();
            const std::string_view part = path.substr(pos, slash - pos);
            pos = slash + 1;
            if (part.empty()) continue;
            const std::u16string wanted = names::to_utf16(part);
            const Node& here = nodes[at];
            std::optional<std::uint32_t> next;
            for (std::uint32_t k = 0; k < here.child_count && !next; ++k) {
                const std::uint32_t c = children[here.first_child + k];
                if (names::equal(nodes[c].name, wanted)) next = c;
            }
            if (!next) return std::nullopt;
            at = *next;
        }
        return at;
    }
};

namespace {

using Failure = std::unexpected<std::string>;

std::expected<void, std::string> read_header(Container::State& s, std::array<std::byte, header_size>& h) {
    const auto size = platform::size_of(s.file.fd());
    if (!size) return Failure(std::string("cannot stat the file: ") + os_text::error_text(size.error()));
    s.file_size = *size;
    if (s.file_size < header_size)
        return Failure("file of " + std::to_string(s.file_size) + " bytes is too small for a header");
    if (auto error = read_exact(s.file.fd(), h.data(), h.size(), 0)) return Failure(error->description);
    if (std::memcmp(h.data(), signature.data(), signature.size()) != 0) return Failure("bad signature");
    const std::span<const std::byte> b(h);
    if (u16_at(b, 28) != 0xFFFE) return Failure("bad byte-order mark");
    s.version = u16_at(b, 26);
    const unsigned shift = u16_at(b, 30);
    if (s.version != 3 && s.version != 4) return Failure("unsupported major version " + std::to_string(s.version));
    if (shift != (s.version == 3 ? 9u : 12u))
        return Failure("sector shift " + std::to_string(shift) + " does not fit version " + std::to_string(s.version));
    if (u16_at(b, 32) != 6) return Failure("mini sector shift " + std::to_string(u16_at(b, 32)) + " is not 6");
    if (u32_at(b, 56) != mini_stream_cutoff)
        return Failure("mini stream cutoff " + std::to_string(u32_at(b, 56)) + " is not 4096");
    s.sector_size = 1u << shift;
    if (s.file_size < s.sector_size)
        return Failure("file of " + std::to_string(s.file_size) + " bytes is too small for a header");
    const std::uint64_t sectors = (s.file_size - s.sector_size + s.sector_size - 1) / s.sector_size;
    if (sectors > max_regular_sector) return Failure("file is too large");
    s.sector_count = static_cast<std::uint32_t>(sectors);
    return {};
}

std::expected<void, std::string> read_fat(Container::State& s, std::span<const std::byte> h) {
    const std::uint32_t fat_sectors = u32_at(h, 44);
    if (fat_sectors > s.sector_count)
        return Failure("header claims " + std::to_string(fat_sectors) + " FAT sectors but the file holds " +
                       std::to_string(s.sector_count) + " sectors");
    // The FAT's own sector numbers: 109 in the header, the rest in the DIFAT chain.
    std::vector<std::uint32_t> locations;
    locations.reserve(fat_sectors);
    for (std::size_t k = 0; k < header_difat_entries && locations.size() < fat_sectors; ++k)
        locations.push_back(u32_at(h, 76 + 4 * k));
    const std::uint32_t per_sector = s.sector_size / 4;
    std::vector<std::byte> sector(s.sector_size);
    if (s.marks.size() < s.sector_count) s.marks.resize(s.sector_count, 0);
    const std::uint32_t mark = s.next_epoch();
    std::uint32_t difat = u32_at(h, 68);
    while (locations.size() < fat_sectors) {
        if (difat >= s.sector_count)
            return Failure("DIFAT chain ends after " + std::to_string(locations.size()) + " of " +
                           std::to_string(fat_sectors) + " FAT sectors");
        if (s.marks[difat] == mark) return Failure("DIFAT chain loops at sector " + sector_text(difat));
        s.marks[difat] = mark;
        if (auto error = read_exact(s.file.fd(), sector.data(), sector.size(), s.sector_offset(difat)))
            return Failure("DIFAT sector " + sector_text(difat) + ": " + error->description);
        for (std::uint32_t k = 0; k + 1 < per_sector && locations.size() < fat_sectors; ++k)
            locations.push_back(u32_at(sector, 4 * k));
        difat = u32_at(sector, 4 * (per_sector - 1));
    }
    s.fat.resize(std::size_t{fat_sectors} * per_sector);
    auto* out = reinterpret_cast<std::byte*>(s.fat.data());
    for (std::size_t k = 0; k < locations.size(); ++k) {
        if (locations[k] >= s.sector_count)
            return Failure("FAT sector " + std::to_string(k) + " lies at sector " + sector_text(locations[k]) +
                           " outside the file");
        if (auto error = read_exact(s.file.fd(), out + k * s.sector_size, s.sector_size, s.sector_offset(locations[k])))
            return Failure("FAT sector " + sector_text(locations[k]) + ": " + error->description);
    }
    if constexpr (std::endian::native != std::endian::little)
        for (auto& v : s.fat) v = std::byteswap(v);
    return {};
}

std::expected<void, std::string> read_directory(Container::State& s, std::span<const std::byte> h) {
    auto sectors = s.chain(s.fat, u32_at(h, 48), s.sector_count, std::nullopt, "directory");
    if (!sectors) return Failure(sectors.error());
    if (sectors->empty()) return Failure("the directory is empty");
    std::vector<std::byte> raw(sectors->size() * std::size_t{s.sector_size});
    if (auto error = s.gather(*sectors, s.sector_size, raw.size(), raw.data(), nullptr))
        return Failure("directory: " + error->description);
    const std::size_t count = raw.size() / directory_entry_size;
    s.nodes.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::span<const std::byte> e(raw.data() + i * directory_entry_size, directory_entry_size);
        Node& n = s.nodes[i];
        const auto type = std::to_integer<unsigned>(e[66]);
        n.usable = type == 1 || type == 2 || type == 5;
        n.kind = type == 5 ? EntryKind::Root : type == 1 ? EntryKind::Storage : EntryKind::Stream;
        std::size_t units = std::min<std::size_t>(u16_at(e, 64) / 2, 32);
        n.name.clear();
        for (std::size_t k = 0; k < units; ++k) {
            const auto c = static_cast<char16_t>(u16_at(e, 2 * k));
            if (c == 0) break;
            n.name += c;
        }
        n.left = u32_at(e, 68);
        n.right = u32_at(e, 72);
        n.child = u32_at(e, 76);
        n.created = u64_at(e, 100);
        n.start = u32_at(e, 116);
        n.size = s.version == 3 ? u32_at(e, 120) : u64_at(e, 120);
    }
    if (s.nodes[0].kind != EntryKind::Root || !s.nodes[0].usable)
        return Failure("the first directory entry is not the root");
    return {};
}

// Collects the children of every storage (in the order of each name tree) breadth first,
// without recursion; an entry reached twice means the tree is not a tree.
std::expected<void, std::string> link_tree(Container::State& s) {
    const std::size_t count = s.nodes.size();
    std::vector<bool> seen(count, false);
    seen[0] = true;
    std::vector<std::uint32_t> storages{0}, stack;
    s.children.reserve(count);
    auto enter = [&](std::uint32_t at) -> std::expected<void, std::string> {
        if (at >= count)
            return Failure("directory entry " + std::to_string(at) + " is past the " +
                           std::to_string(count) + " entries of the directory");
        if (seen[at]) return Failure("directory entry " + std::to_string(at) + " is linked more than once");
        seen[at] = true;
        stack.push_back(at);
        return {};
    };
    for (std::size_t q = 0; q < storages.size(); ++q) {
        Node& parent = s.nodes[storages[q]];
        parent.first_child = static_cast<std::uint32_t>(s.children.size());
        std::uint32_t at = parent.child;
        while (at != no_stream || !stack.empty()) {
            while (at != no_stream) {
                if (auto ok = enter(at); !ok) return ok;
                at = s.nodes[at].left;
            }
            const std::uint32_t node = stack.back();
            stack.pop_back();
            if (s.nodes[node].usable && s.nodes[node].kind != EntryKind::Root) {
                s.children.push_back(node);
                if (s.nodes[node].kind == EntryKind::Storage) storages.push_back(node);
            }
            at = s.nodes[node].right;
        }
        parent.child_count = static_cast<std::uint32_t>(s.children.size()) - parent.first_child;
    }
    return {};
}

void list_entries(Container::State& s) {
    std::vector<std::pair<std::uint32_t, std::size_t>> stack{{0, Entry::no_parent}};
    s.entries.reserve(s.children.size() + 1);
    s.entry_node.reserve(s.children.size() + 1);
    s.node_entry.assign(s.nodes.size(), 0);
    while (!stack.empty()) {
        const auto [node, parent] = stack.back();
        stack.pop_back();
        const Node& n = s.nodes[node];
        s.entries.push_back(Entry{names::to_utf8(n.name), parent, n.kind, SystemTime::from_filetime(n.created),
                                  n.kind == EntryKind::Stream ? n.size : 0});
        s.entry_node.push_back(node);
        const std::size_t me = s.entries.size() - 1;
        s.node_entry[node] = static_cast<std::uint32_t>(me);
        for (std::uint32_t k = n.child_count; k > 0; --k)
            stack.emplace_back(s.children[n.first_child + k - 1], me);
    }
}

}  // namespace

Container::Container(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Container::Container(Container&&) noexcept = default;
Container& Container::operator=(Container&&) noexcept = default;
Container::~Container() = default;

std::expected<Container, std::string> Container::open(File file) {
    auto s = std::make_unique<State>();
    s->file = std::move(file);
    std::array<std::byte, header_size> header{};
    if (auto ok = read_header(*s, header); !ok) return std::unexpected(ok.error());
    if (auto ok = read_fat(*s, header); !ok) return std::unexpected(ok.error());
    if (auto ok = read_directory(*s, header); !ok) return std::unexpected(ok.error());
    if (auto ok = link_tree(*s); !ok) return std::unexpected(ok.error());
    list_entries(*s);
    s->first_mini_fat = u32_at(header, 60);
    return Container(std::move(s));
}

bool Container::exists(std::string_view path) const { return state_->find(path).has_value(); }

std::expected<std::size_t, std::string> Container::open_stream(std::string_view path) const {
    const auto node = state_->find(path);
    if (!node) return std::unexpected(std::string("no entry at this path"));
    if (state_->nodes[*node].kind != EntryKind::Stream) return std::unexpected(std::string("the entry is not a stream"));
    return state_->node_entry[*node];
}

std::expected<std::uint64_t, ReadError> Container::stream_size(std::size_t stream) const {
    const State& s = *state_;
    if (stream >= s.entries.size() || s.entries[stream].kind != EntryKind::Stream)
        return std::unexpected(ReadError{0, "not a stream"});
    const std::uint64_t size = s.nodes[s.entry_node[stream]].size;
    if (auto error = s.check_fits(size, "stream")) return std::unexpected(*error);
    return size;
}

std::optional<ReadError> Container::read_stream_into(std::size_t stream, std::span<std::byte> out) const {
    const State& s = *state_;
    const auto size = stream_size(stream);
    if (!size) return size.error();
    if (out.size() != *size) return ReadError{0, "buffer of " + std::to_string(out.size()) +
                                                     " bytes for a stream of " + std::to_string(*size)};
    const Node& n = s.nodes[s.entry_node[stream]];
    if (n.size == 0) return std::nullopt;
    if (n.size >= mini_stream_cutoff) return s.read_chain_into(n.start, out, "stream");
    if (auto error = s.load_mini()) return *error;
    const auto mini_sectors = static_cast<std::uint32_t>((s.mini_stream.size() + mini_sector_size - 1) / mini_sector_size);
    auto sectors = s.chain(s.mini_fat, n.start, mini_sectors, (n.size + mini_sector_size - 1) / mini_sector_size,
                           "mini stream");
    if (!sectors) return ReadError{0, sectors.error()};
    return s.gather(*sectors, mini_sector_size, n.size, out.data(), &s.mini_stream);
}

std::expected<Bytes, ReadError> Container::read_stream(std::size_t stream) const {
    const auto size = stream_size(stream);
    if (!size) return std::unexpected(size.error());
    Bytes out(static_cast<std::size_t>(*size));
    if (auto error = read_stream_into(stream, std::span(out.data(), out.size()))) return std::unexpected(*error);
    return out;
}

std::span<const Entry> Container::entries() const noexcept { return state_->entries; }

std::string Container::path_of(std::size_t index) const {
    std::vector<std::size_t> chain;
    for (std::size_t at = index; at < state_->entries.size() && at != 0; at = state_->entries[at].parent)
        chain.push_back(at);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty()) path += '/';
        path += state_->entries[*it].name;
    }
    return path;
}

}  // namespace cfb
