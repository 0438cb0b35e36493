#include "export/encoding/sha1.hpp"

#include <mbedtls/sha1.h>
#include <mbedtls/version.h>

#include <cerrno>
#include <new>
#include <vector>

#include "platform.hpp"

namespace exporter {

// Mbed TLS 2 names the calls that report errors with a suffix; 3 drops it (SHA-1 itself never fails).
#if MBEDTLS_VERSION_MAJOR < 3
#define mbedtls_sha1_starts mbedtls_sha1_starts_ret
#define mbedtls_sha1_update mbedtls_sha1_update_ret
#define mbedtls_sha1_finish mbedtls_sha1_finish_ret
#endif

void Sha1::Free::operator()(mbedtls_sha1_context* context) const noexcept {
    mbedtls_sha1_free(context);
    delete context;
}

Sha1::Sha1() : context_(new mbedtls_sha1_context) {
    mbedtls_sha1_init(context_.get());
    mbedtls_sha1_starts(context_.get());
}
Sha1::~Sha1() = default;

Sha1::Sha1(const Sha1& other) : context_(new mbedtls_sha1_context) {
    mbedtls_sha1_init(context_.get());
    mbedtls_sha1_clone(context_.get(), other.context_.get());
}

void Sha1::update(std::string_view bytes) {
    mbedtls_sha1_update(context_.get(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string Sha1::hex_digest() {
    unsigned char digest[20];
    mbedtls_sha1_finish(context_.get(), digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest) {
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
