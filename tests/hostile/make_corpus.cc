// make_corpus STUB FOLDER [--large] [--every N]: writes the hostile
// installers built on STUB into FOLDER, one NAME.exe each. --large writes
// only the gigabyte bombs and the 20-million-entry file; --every N keeps
// every Nth installer (a sample for slow runners such as Wine).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/hostile/corpus.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: make_corpus STUB FOLDER [--large] [--every N]\n");
    return 2;
  }
  hostile::Size size = hostile::Size::kSmall;
  unsigned every = 1;
  for (int i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "--large") == 0) {
      size = hostile::Size::kLarge;
    } else if (strcmp(argv[i], "--every") == 0 && i + 1 < argc) {
      every = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
      if (every == 0) every = 1;
    } else {
      fprintf(stderr, "make_corpus: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<uint8_t> stub((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (stub.empty()) {
    fprintf(stderr, "make_corpus: cannot read %s\n", argv[1]);
    return 1;
  }
  unsigned seen = 0, written = 0;
  bool failed = false;
  hostile::MakeCorpus(stub, size, [&](hostile::Case&& c) {
    if (seen++ % every != 0) return;
    std::string path = std::string(argv[2]) + "/" + c.name + ".exe";
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(c.bytes.data()), static_cast<std::streamsize>(c.bytes.size()));
    if (!out) failed = true;
    ++written;
  });
  if (failed) {
    fprintf(stderr, "make_corpus: cannot write into %s\n", argv[2]);
    return 1;
  }
  printf("%u installers written to %s\n", written, argv[2]);
  return 0;
}
