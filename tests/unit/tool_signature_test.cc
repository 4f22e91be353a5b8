// The signer named by `list` and `verify`: read back from a signature made
// here, and nothing (never a crash) from damaged or foreign bytes.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

#include "tool/signature.h"

namespace tailpack {
namespace {

// A detached PKCS#7 SignedData over `content`, signed by a fresh
// self-signed certificate with the given subject, as DER.
std::vector<uint8_t> MakeSignedData(const char* commonName, const char* organisation) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert) return {};
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(organisation), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName), -1,
                             -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return {};
  static const char kContent[] = "installer digest stand-in";
  std::unique_ptr<BIO, decltype(&BIO_free)> data(BIO_new_mem_buf(kContent, sizeof kContent - 1), BIO_free);
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> signedData(
      PKCS7_sign(cert.get(), key.get(), nullptr, data.get(), PKCS7_BINARY | PKCS7_DETACHED), PKCS7_free);
  if (!signedData) return {};
  int length = i2d_PKCS7(signedData.get(), nullptr);
  std::vector<uint8_t> der(static_cast<size_t>(length));
  unsigned char* out = der.data();
  i2d_PKCS7(signedData.get(), &out);
  return der;
}

TEST(ToolSignature, NamesTheSignersSubject) {
  const std::vector<uint8_t> der = MakeSignedData("Example Signer", "Example Ltd");
  ASSERT_FALSE(der.empty());
  EXPECT_EQ(SignerSubject(der), "CN=Example Signer,O=Example Ltd");
  // Characters that could fake output lines or reach the terminal are escaped.
  const std::vector<uint8_t> hostile = MakeSignedData("Evil\nsigned by \"x\"\x1b[2J", "Ö");
  ASSERT_FALSE(hostile.empty());
  std::optional<std::string> subject = SignerSubject(hostile);
  ASSERT_TRUE(subject.has_value());
  for (char ch : *subject) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << static_cast<int>(ch) << " in " << *subject;
}

TEST(ToolSignature, DamagedOrForeignBytesNameNoSigner) {
  const std::vector<uint8_t> der = MakeSignedData("Example Signer", "Example Ltd");
  ASSERT_FALSE(der.empty());
  // Every truncation, and single-byte damage in the outer structure.
  for (size_t size = 0; size < der.size(); size += 3) {
    EXPECT_FALSE(SignerSubject(std::span<const uint8_t>(der.data(), size)).has_value()) << size;
  }
  const std::vector<std::vector<uint8_t>> foreign = {
      {},
      {0x30},
      {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},  // a length far past the end
      {0x30, 0x03, 0x06, 0x01, 0x00},        // a sequence holding a bare OID
      std::vector<uint8_t>(4096, 0x30),     // nested sequences without end
      std::vector<uint8_t>(512, 0xFF),
  };
  for (const std::vector<uint8_t>& bytes : foreign) EXPECT_FALSE(SignerSubject(bytes).has_value());
}

}  // namespace
}  // namespace tailpack
