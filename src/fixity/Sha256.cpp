#include "fixity/Sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace hv::fixity {

struct Sha256::Context {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(md); }
};

namespace {

// libcrypto fails here only when it cannot allocate: nothing sensible is left to do.
void Require(bool done) {
    if (!done) std::abort();
}

}  // namespace

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    Require(context_->md != nullptr);
    Reset();
}

Sha256::~Sha256() = default;

void Sha256::Reset() { Require(EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) == 1); }

void Sha256::Update(const char* data, std::size_t size) {
    if (size > 0) Require(EVP_DigestUpdate(context_->md, data, size) == 1);
}

QByteArray Sha256::FinalHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Require(EVP_DigestFinal_ex(context_->md, digest, &length) == 1 && length == kDigestBytes);
    return QByteArray(reinterpret_cast<const char*>(digest), kDigestBytes).toHex();
}

QByteArray Sha256::HexOf(const QByteArray& data) {
    Sha256 hash;
    hash.Update(data.constData(), static_cast<std::size_t>(data.size()));
    return hash.FinalHex();
}

}  // namespace hv::fixity
