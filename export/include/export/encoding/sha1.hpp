// SHA-1 digests, fed piece by piece, as lower-case hex text. The hashing is nettle's, which picks
// at run time the processor's SHA instructions where it has them (x86_64, aarch64).
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct sha1_ctx;  // nettle's

namespace exporter {

class Sha1 {
public:
    Sha1();
    ~Sha1();
    // A hash in the same state, to be fed on or finished apart from this one.
    Sha1(const Sha1& other);
    Sha1& operator=(const Sha1&) = delete;
    Sha1(Sha1&&) noexcept = default;

    void update(std::string_view bytes);
    // The digest of everything fed so far, as 40 hex digits; the hash cannot be fed afterwards.
    std::string hex_digest();

private:
    struct Free {
        void operator()(sha1_ctx* context) const noexcept;
    };
    std::unique_ptr<sha1_ctx, Free> context_;
};

// The SHA-1 of the whole of the open regular file `fd` (read at offsets, so the descriptor may be
// shared), or the operating system's error number: EINVAL for anything but a regular file,
// ENOMEM when memory runs out.
struct FileDigest {
    std::string hex;
    int os_error = 0;
};
FileDigest sha1_of_file(int fd) noexcept;

}  // namespace exporter
