#include "tool/signature.h"

#include <climits>
#include <memory>

#include <openssl/bio.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

namespace tailpack {

namespace {

struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct SignerStackFree {
  // The stack holds references into the PKCS#7 structure: free only the stack.
  void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

}  // namespace

std::optional<std::string> SignerSubject(std::span<const uint8_t> der) {
  if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return std::nullopt;
  const unsigned char* cursor = der.data();
  std::unique_ptr<PKCS7, Pkcs7Free> pkcs7(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
  if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get())) return std::nullopt;
  std::unique_ptr<STACK_OF(X509), SignerStackFree> signers(PKCS7_get0_signers(pkcs7.get(), nullptr, 0));
  if (!signers || sk_X509_num(signers.get()) < 1) return std::nullopt;
  X509* signer = sk_X509_value(signers.get(), 0);
  std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
  if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(signer), 0, XN_FLAG_RFC2253) < 0) {
    return std::nullopt;
  }
  char* text = nullptr;
  long length = BIO_get_mem_data(out.get(), &text);
  if (length <= 0 || text == nullptr) return std::nullopt;
  return std::string(text, static_cast<size_t>(length));
}

}  // namespace tailpack
