#include "recorder/update/signature.h"

#include <openssl/evp.h>

#include <memory>

namespace orvweb::update {
namespace {

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

constexpr PublicKey kReleaseKey = {0x3e, 0xc1, 0x13, 0xa5, 0x41, 0x0e, 0x14, 0x8c, 0x19, 0xc6, 0xbc,
                                   0xe6, 0x54, 0xbf, 0xa5, 0xc5, 0x61, 0x08, 0x0c, 0xf6, 0xe1, 0x8d,
                                   0x79, 0xf4, 0xd6, 0x5a, 0x96, 0xa3, 0xc2, 0x20, 0x59, 0xb2};

}  // namespace

const PublicKey& ReleaseKey() { return kReleaseKey; }

bool VerifySignature(const PublicKey& key, std::string_view data, std::string_view signature) {
  if (signature.size() != kSignatureBytes) return false;
  const std::unique_ptr<EVP_PKEY, KeyDeleter> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
  if (!pkey || !context) return false;
  // Ed25519 hashes internally: no digest is named, and the message is given whole.
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

}  // namespace orvweb::update
