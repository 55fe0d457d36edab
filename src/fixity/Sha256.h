#pragma once
// SHA-256 of a stream of bytes, with OpenSSL's libcrypto (which uses the processor's SHA
// instructions where it has them). One object per stream; any thread, one at a time.

#include <QByteArray>
#include <cstddef>
#include <memory>

namespace hv::fixity {

class Sha256 {
public:
    static constexpr int kDigestBytes = 32;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Starts a new stream (the object starts with one).
    void Reset();
    void Update(const char* data, std::size_t size);
    // The digest of the stream so far as 64 lower-case hexadecimal digits; the stream
    // must be Reset before it is used again.
    QByteArray FinalHex();

    // The digest of `data` as hexadecimal text.
    static QByteArray HexOf(const QByteArray& data);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace hv::fixity
