#include "export/sha1.hpp"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

namespace exporter {

void Sha1::Free::operator()(evp_md_ctx_st* context) const noexcept { EVP_MD_CTX_free(context); }

Sha1::Sha1() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha1(), nullptr) != 1) throw std::bad_alloc();
}
Sha1::~Sha1() = default;

void Sha1::update(std::string_view bytes) { EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()); }

std::string Sha1::hex_digest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_.get(), digest, &size);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

FileDigest sha1_of_file(int fd) noexcept {
    try {
        struct stat info {};
        if (::fstat(fd, &info) != 0) return {{}, errno};
        if (!S_ISREG(info.st_mode)) return {{}, EINVAL};  // a device or a FIFO is never read
        Sha1 hash;
        std::vector<char> buffer(std::size_t{1} << 20);
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return {{}, errno};
            if (n == 0) break;
            hash.update(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            at += n;
        }
        return {hash.hex_digest(), 0};
    } catch (const std::bad_alloc&) {
        return {{}, ENOMEM};
    }
}

}  // namespace exporter
