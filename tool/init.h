// tailpack init: a first manifest for a folder that holds a product.
#pragma once

#include <filesystem>
#include <ostream>

namespace tailpack {

struct InitOptions {
  std::filesystem::path directory = ".";  // the product's folder
};

// The manifest's file name in that folder.
inline constexpr char kManifestName[] = "tailpack.toml";

// Writes a commented tailpack.toml into the folder: the product name from
// the folder's name, the main executable when exactly one .exe lies at the
// top, a LICENSE or COPYING file as the licence shown first, and every file
// and folder at the top (but the manifest and dot files) installed under
// its own name; `tailpack build` takes it as it is. An existing manifest is
// never overwritten (ToolError). Prints what it wrote to `out`. Returns the
// manifest's path.
std::filesystem::path InitManifest(const InitOptions& options, std::ostream& out);

}  // namespace tailpack
