#include "updater/Signature.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace platform::updater {
namespace {

void initialiseSodium() {
  // sodium_init is safe to call from several threads and more than once.
  if (sodium_init() < 0) std::abort();
}

std::string toBase64(const unsigned char* bytes, size_t size) {
  std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(out.size() - 1);  // the terminating NUL
  return out;
}

// Exactly size bytes, or none. Blanks around the text (a trailing newline) are ignored.
std::optional<std::vector<unsigned char>> fromBase64(const std::string& text, size_t size) {
  std::vector<unsigned char> out(size + 1);
  size_t got = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), " \t\r\n", &got, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      got != size || end != text.data() + text.size()) {
    return std::nullopt;
  }
  out.resize(size);
  return out;
}

// A read-only mapping of a whole file; an empty file maps to no bytes.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return;
    size_ = static_cast<size_t>(st.st_size);
    if (size_ == 0) {
      ok_ = true;
      return;
    }
    void* data = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (data == MAP_FAILED) return;
    ::madvise(data, size_, MADV_SEQUENTIAL);
    data_ = data;
    ok_ = true;
  }
  ~MappedFile() {
    if (data_) ::munmap(data_, size_);
    if (fd_ >= 0) ::close(fd_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool ok() const { return ok_; }
  const unsigned char* bytes() const {
    static const unsigned char none = 0;
    return data_ ? static_cast<const unsigned char*>(data_) : &none;
  }
  size_t size() const { return size_; }

 private:
  int fd_ = -1;
  void* data_ = nullptr;
  size_t size_ = 0;
  bool ok_ = false;
};

struct SecretKey {
  unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
  unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
  ~SecretKey() { sodium_memzero(secretKey, sizeof secretKey); }
};

bool fromSeed(const std::string& privateKey, SecretKey& key) {
  auto seed = fromBase64(privateKey, crypto_sign_SEEDBYTES);
  if (!seed) return false;
  crypto_sign_seed_keypair(key.publicKey, key.secretKey, seed->data());
  sodium_memzero(seed->data(), seed->size());
  return true;
}

}  // namespace

KeyPair generateKeyPair() {
  initialiseSodium();
  unsigned char seed[crypto_sign_SEEDBYTES];
  randombytes_buf(seed, sizeof seed);
  KeyPair pair;
  pair.privateKey = toBase64(seed, sizeof seed);
  sodium_memzero(seed, sizeof seed);
  pair.publicKey = publicKeyFor(pair.privateKey).value_or("");
  return pair;
}

std::optional<std::string> publicKeyFor(const std::string& privateKey) {
  initialiseSodium();
  SecretKey key;
  if (!fromSeed(privateKey, key)) return std::nullopt;
  return toBase64(key.publicKey, sizeof key.publicKey);
}

bool isPublicKey(const std::string& publicKey) {
  return fromBase64(publicKey, crypto_sign_PUBLICKEYBYTES).has_value();
}

std::optional<std::string> signFile(const std::string& path, const std::string& privateKey) {
  initialiseSodium();
  SecretKey key;
  if (!fromSeed(privateKey, key)) return std::nullopt;
  const MappedFile file(path);
  if (!file.ok()) return std::nullopt;
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, file.bytes(), file.size(), key.secretKey);
  return toBase64(signature, sizeof signature);
}

SignatureCheck verifyFile(const std::string& path, const std::string& signature,
                          const std::string& publicKey) {
  initialiseSodium();
  const auto key = fromBase64(publicKey, crypto_sign_PUBLICKEYBYTES);
  if (!key) return SignatureCheck::BadKey;
  const auto sig = fromBase64(signature, crypto_sign_BYTES);
  if (!sig) return SignatureCheck::BadSignature;
  const MappedFile file(path);
  if (!file.ok()) return SignatureCheck::Unreadable;
  if (crypto_sign_verify_detached(sig->data(), file.bytes(), file.size(), key->data()) != 0) {
    return SignatureCheck::Invalid;
  }
  return SignatureCheck::Valid;
}

const char* describe(SignatureCheck check) {
  switch (check) {
    case SignatureCheck::Valid: return "the signature is valid";
    case SignatureCheck::Invalid: return "the signature does not match the archive";
    case SignatureCheck::BadKey: return "the public key is not a valid Ed25519 key";
    case SignatureCheck::BadSignature: return "the signature is not a valid Ed25519 signature";
    case SignatureCheck::Unreadable: return "the archive cannot be read";
  }
  return "";
}

}  // namespace platform::updater
