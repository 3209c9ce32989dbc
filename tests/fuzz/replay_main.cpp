// Runs a fuzz target over files instead of generated input, so that the seed
// corpus and every input a fuzzer ever found faulty stay regression tests in
// the normal builds. Arguments are files or directories of files.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int run_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  fclose(f);
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return 0;
}

int main(int argc, char** argv) {
  int failures = 0, inputs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "no such input %s\n", argv[i]);
      ++failures;
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      failures += run_file(argv[i]);
      ++inputs;
      continue;
    }
    DIR* d = opendir(argv[i]);
    while (struct dirent* e = d ? readdir(d) : nullptr) {
      if (e->d_name[0] == '.') continue;
      failures += run_file(std::string(argv[i]) + "/" + e->d_name);
      ++inputs;
    }
    if (d) closedir(d);
  }
  printf("%d inputs replayed\n", inputs);
  return failures ? 1 : 0;
}
