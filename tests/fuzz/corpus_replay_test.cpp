// Replays every stored fuzzing input, crash reproducers included, through the
// fuzz target built without the fuzzer, so that `./dev test` catches a
// regression on any machine. A broken promise aborts with its text; the
// handler below adds which input it was.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

namespace {

char g_current_input[4096];

void name_the_input(int signal) {
  const char prefix[] = "while replaying ";
  ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
  ignored = write(STDERR_FILENO, g_current_input, std::strlen(g_current_input));
  ignored = write(STDERR_FILENO, "\n", 1);
  static_cast<void>(ignored);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// QUORIL_FUZZ_REPLAY names one input or a folder of them instead of the
// stored corpus, to replay a new crash with this build's stack traces.
std::vector<std::filesystem::path> inputs() {
  const char* chosen = std::getenv("QUORIL_FUZZ_REPLAY");
  const std::filesystem::path source = chosen ? chosen : QUORIL_FUZZ_CORPUS_DIR;
  std::vector<std::filesystem::path> paths;
  if (std::filesystem::is_regular_file(source)) {
    paths.push_back(source);
    return paths;
  }
  for (const auto& entry : std::filesystem::directory_iterator(source)) {
    if (entry.is_regular_file()) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(FuzzCorpus, EveryStoredInputKeepsThePromises) {
  const std::vector<std::filesystem::path> paths = inputs();
  ASSERT_FALSE(paths.empty());
  std::signal(SIGABRT, name_the_input);
  std::signal(SIGSEGV, name_the_input);
  for (const auto& path : paths) {
    const std::string text = path.string();
    std::strncpy(g_current_input, text.c_str(), sizeof g_current_input - 1);
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           bytes.size());
  }
  std::signal(SIGABRT, SIG_DFL);
  std::signal(SIGSEGV, SIG_DFL);
}

}  // namespace
