// libFuzzer target of the tree import: every byte string decodes to per-node lists, which the
// import must refuse with a message or turn into a tree that behaves like the lists.
#include <cstdio>
#include <cstdlib>

#include "flat_tree_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string broken = ornik::fuzz::check_input(data, size);
  if (!broken.empty()) {
    std::fprintf(stderr, "tree import: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
