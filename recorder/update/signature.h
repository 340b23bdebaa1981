#pragma once
// Detached Ed25519 signatures of update downloads. A download is used only
// when its signature checks against a public key built into the program; no
// setting, file or environment variable can name another key.
#include <array>
#include <cstdint>
#include <string_view>

namespace orvweb::update {

inline constexpr size_t kSignatureBytes = 64;  // raw Ed25519, as `openssl pkeyutl -sign -rawin` writes it
inline constexpr size_t kMaxSignatureFileBytes = 1024;

using PublicKey = std::array<uint8_t, 32>;

// The public half of the key that signs the program's releases.
const PublicKey& ReleaseKey();

// True only when signature is the Ed25519 signature of data under key.
bool VerifySignature(const PublicKey& key, std::string_view data, std::string_view signature);

}  // namespace orvweb::update
