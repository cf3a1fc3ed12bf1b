// Ed25519 signatures over whole update archives (libsodium). Keys and signatures travel as
// base64 text: the public key in the bundle's Info.plist, signatures in the feed, the private
// key (its 32-byte seed) in a file only the release machine has.
#pragma once

#include <optional>
#include <string>

namespace platform::updater {

struct KeyPair {
  std::string publicKey;   // base64 of 32 bytes
  std::string privateKey;  // base64 of the 32-byte seed
};

enum class SignatureCheck { Valid, Invalid, BadKey, BadSignature, Unreadable };

KeyPair generateKeyPair();
// The public key that belongs to a private key; none when the text is not a private key.
std::optional<std::string> publicKeyFor(const std::string& privateKey);
// Whether text is a usable public key.
bool isPublicKey(const std::string& publicKey);

// The base64 signature of the file's whole content; none when the key or file is unusable.
std::optional<std::string> signFile(const std::string& path, const std::string& privateKey);
// Checks the signature of the file's whole content. Bytes are hashed straight from a mapping
// of the file, so checking costs about one SHA-512 pass over it.
SignatureCheck verifyFile(const std::string& path, const std::string& signature,
                          const std::string& publicKey);
const char* describe(SignatureCheck check);

}  // namespace platform::updater
