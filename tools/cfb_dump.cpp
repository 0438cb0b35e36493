// Lists every entry of a Compound File Binary container, root first, as one JSON object a line:
//   {"path": ..., "kind": "root"|"storage"|"stream", "size": N, "created": [seconds, nanoseconds]}
// With --data, each stream's bytes are added in hex ("data"); with --read-all, every stream is
// read and only the total is printed (a quick way to time reads).
#include <cstdio>
#include <cstring>
#include <string>

#include "cfb/cfb.hpp"
#include "export/encoding/json_text.hpp"

namespace {

using exporter::json_string;

const char* kind_name(cfb::EntryKind kind) {
    switch (kind) {
        case cfb::EntryKind::Root: return "root";
        case cfb::EntryKind::Storage: return "storage";
        default: return "stream";
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool data = false, read_all = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--data") == 0) data = true;
        else if (std::strcmp(argv[i], "--read-all") == 0) read_all = true;
        else path = argv[i];
    }
    if (!path) {
        std::fprintf(stderr, "usage: cfb_dump [--data | --read-all] FILE\n");
        return 2;
    }
    auto file = cfb::File::open_read_only(path);
    if (!file) {
        std::fprintf(stderr, "cannot open %s: %s\n", path, std::strerror(file.error()));
        return 1;
    }
    auto container = cfb::Container::open(std::move(*file));
    if (!container) {
        std::fprintf(stderr, "not a container: %s\n", container.error().c_str());
        return 1;
    }
    unsigned long long total = 0;
    int status = 0;
    const auto entries = container->entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const cfb::Entry& e = entries[i];
        const std::string entry_path = container->path_of(i);
        std::string hex;
        std::string error;
        if (e.kind == cfb::EntryKind::Stream && (data || read_all)) {
            auto bytes = container->read_stream(i);
            if (!bytes) {
                error = bytes.error().description;
                status = 1;
            } else if (read_all) {
                total += bytes->size();
            } else {
                static const char digits[] = "0123456789abcdef";
                hex.reserve(2 * bytes->size());
                for (std::byte b : bytes->span()) {
                    hex += digits[std::to_integer<unsigned>(b) >> 4];
                    hex += digits[std::to_integer<unsigned>(b) & 15];
                }
            }
        }
        if (read_all) continue;
        std::printf("{\"path\": %s, \"kind\": \"%s\", \"size\": %llu, \"created\": [%lld, %u]",
                    json_string(entry_path).c_str(), kind_name(e.kind), static_cast<unsigned long long>(e.size),
                    static_cast<long long>(e.created.seconds), e.created.nanoseconds);
        if (!error.empty()) std::printf(", \"error\": %s", json_string(error).c_str());
        if (data && e.kind == cfb::EntryKind::Stream && error.empty()) std::printf(", \"data\": \"%s\"", hex.c_str());
        std::printf("}\n");
    }
    if (read_all) std::printf("%llu bytes read\n", total);
    return status;
}
