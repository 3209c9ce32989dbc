// Runs a fuzz target over files or directories of files, so that the seed corpus
// and every faulty input a fuzzer found stay regression tests in normal builds.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int failures = 0, inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> files{argv[i]};
    if (fs::is_directory(files[0])) files.assign(fs::directory_iterator(files[0]), {});
    for (const fs::path& f : files) {
      if (f.filename().string()[0] == '.') continue;
      std::ifstream in(f, std::ios::binary);
      if (!in && ++failures) fprintf(stderr, "cannot open %s\n", f.c_str());
      std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
      LLVMFuzzerTestOneInput(data.data(), data.size());
      ++inputs;
    }
  }
  printf("%d inputs replayed\n", inputs);
  return failures ? 1 : 0;
}
