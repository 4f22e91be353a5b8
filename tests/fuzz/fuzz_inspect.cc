// `tailpack list`, `verify` and `extract` on arbitrary bytes as the
// installer file, with --max-unpacked 1 MiB as a user inspecting an
// untrusted file would pass. Each either succeeds or throws ToolError;
// extract (the block held whole, and streamed) never writes outside its
// folder and leaves nothing when it fails, and verify's JSON is valid UTF-8.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "tool/encoding.h"
#include "tool/errors.h"
#include "tool/inspect.h"

namespace fs = std::filesystem;

namespace {

struct Workspace {
  fs::path root, installer, sandbox;
  Workspace() {
    char pattern[] = "/dev/shm/tailpack-fuzz-XXXXXX";
    char* made = mkdtemp(pattern);
    if (made == nullptr) abort();
    root = made;
    installer = root / "installer.exe";
    sandbox = root / "sandbox";
  }
  ~Workspace() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Workspace& Work() {
  static Workspace work;
  return work;
}

void Store(const fs::path& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size != 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Workspace& work = Work();
  Store(work.installer, data, size);
  const uint64_t kLimit = 1u << 20;

  tailpack::VerifyOptions verify;
  verify.maxUnpacked = kLimit;
  verify.json = true;
  std::ostringstream json;
  bool intact = tailpack::VerifyInstaller(work.installer, verify, json);
  if (!tailpack::Utf8ToUtf16(json.str())) abort();

  tailpack::ListOptions list;
  list.maxUnpacked = kLimit;
  list.texts = true;
  std::ostringstream text;
  try {
    tailpack::ListInstaller(work.installer, list, text);
    if (!intact) abort();  // list and verify agree
  } catch (const tailpack::ToolError&) {
    if (intact) abort();
  }

  // Extract twice: the block held whole, and decoded once in small pieces
  // while the files are written. A failure leaves nothing behind, not even
  // the folder (it did not exist before).
  const tailpack::DecodeLimits kWhole, kPieces{0, 4096};
  for (const tailpack::DecodeLimits* limits : {&kWhole, &kPieces}) {
    tailpack::ExtractOptions extract;
    extract.directory = work.sandbox / (limits == &kWhole ? "whole" : "pieces") / "dest";
    extract.maxUnpacked = kLimit;
    extract.limits = *limits;
    extract.all = true;
    extract.quiet = true;
    std::ostringstream out, err;
    try {
      tailpack::ExtractInstaller(work.installer, extract, out, err);
    } catch (const tailpack::ToolError&) {
      if (fs::exists(extract.directory.parent_path())) abort();
    }
  }
  // Nothing but the destination folders below the sandbox.
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(work.sandbox, ec)) {
    fs::path inside = fs::relative(entry.path(), work.sandbox);
    auto part = inside.begin();
    if (*part != "whole" && *part != "pieces") abort();
    if (++part != inside.end() && *part != "dest") abort();
  }
  fs::remove_all(work.sandbox, ec);
  return 0;
}
