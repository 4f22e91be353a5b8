// The signer of an Authenticode signature, for `list` and `verify`.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tailpack {

// The subject of the certificate that signed the PKCS#7 SignedData in `der`
// (the bytes after a WIN_CERTIFICATE header), as an RFC 2253 name such as
// "CN=Example Ltd,O=Example Ltd,C=DE". Returns nothing when the bytes are no
// SignedData or name no signer certificate they carry. Never verifies the
// signature: that is the job of the signing tools.
std::optional<std::string> SignerSubject(std::span<const uint8_t> der);

}  // namespace tailpack
