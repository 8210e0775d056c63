// SPDX-License-Identifier: MIT
// Runs a fuzz target over its committed corpus, as a plain test: every file
// in the folders (or the files) named on the command line is one input.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz.h"

namespace {

bool read_file(const std::string &path, std::vector<uint8_t> *out)
{
  FILE *file = fopen(path.c_str(), "rb");
  if (!file)
    return false;
  uint8_t chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
    out->insert(out->end(), chunk, chunk + n);
  fclose(file);
  return true;
}

// The files to replay: a folder stands for its regular files, in name order.
std::vector<std::string> inputs(const std::string &path)
{
  struct stat st;
  if (stat(path.c_str(), &st) < 0)
    return {};
  if (!S_ISDIR(st.st_mode))
    return {path};
  std::vector<std::string> files;
  if (DIR *dir = opendir(path.c_str())) {
    while (dirent *entry = readdir(dir)) {
      const std::string file = path + "/" + entry->d_name;
      if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        files.push_back(file);
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char **argv)
{
  int replayed = 0;
  for (int i = 1; i < argc; i++) {
    for (const std::string &file : inputs(argv[i])) {
      std::vector<uint8_t> data;
      if (!read_file(file, &data)) {
        fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
      }
      fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), data.size());
      LLVMFuzzerTestOneInput(data.data(), data.size());
      replayed++;
    }
  }
  // An empty corpus would pass without testing anything.
  if (replayed == 0) {
    fprintf(stderr, "no input to replay\n");
    return 1;
  }
  printf("replayed %d inputs\n", replayed);
  return 0;
}
