#include "export/encoding/sha1.hpp"

#include <nettle/sha1.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <vector>

#include "platform.hpp"

namespace exporter {

void Sha1::Free::operator()(sha1_ctx* context) const noexcept { delete context; }

Sha1::Sha1() : context_(new sha1_ctx) { sha1_init(context_.get()); }
Sha1::~Sha1() = default;

// nettle's context is plain data: a copy continues the same digest.
Sha1::Sha1(const Sha1& other) : context_(new sha1_ctx(*other.context_)) {}

void Sha1::update(std::string_view bytes) {
    sha1_update(context_.get(), bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
}

std::string Sha1::hex_digest() {
    std::uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_digest(context_.get(), sizeof digest, digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : digest) {
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

FileDigest sha1_of_file(int fd) noexcept {
    try {
        const auto kind = platform::kind_of(fd);
        if (!kind) return {{}, kind.error()};
        if (*kind != platform::FileKind::Regular) return {{}, EINVAL};  // a device or a FIFO is never read
        Sha1 hash;
        std::vector<char> buffer(std::size_t{1} << 20);
        for (std::uint64_t at = 0;;) {
            const auto n = platform::read_at(fd, buffer.data(), buffer.size(), at);
            if (!n) return {{}, n.error()};
            if (*n == 0) break;
            hash.update(std::string_view(buffer.data(), *n));
            at += *n;
        }
        return {hash.hex_digest(), 0};
    } catch (const std::bad_alloc&) {
        return {{}, ENOMEM};
    }
}

}  // namespace exporter
