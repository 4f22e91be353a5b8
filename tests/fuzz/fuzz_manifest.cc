// The manifest reader on arbitrary text: it either returns a manifest whose
// values keep their documented ranges or throws one of the tool's typed
// errors. Anything else (another exception, a crash, a leak) is a finding.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tool/errors.h"
#include "tool/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    // Language files resolve below a folder that does not exist.
    tailpack::Manifest m = tailpack::ParseManifest(text, "fuzz.toml", "/nonexistent/tailpack-fuzz");
    if (m.compression.dictionarySize < 4096 || m.compression.dictionarySize > (1536u << 20)) abort();
    if (m.settings[kProductName].empty()) abort();
  } catch (const tailpack::ToolError&) {
  } catch (const tailpack::UsageError&) {
  }
  return 0;
}
