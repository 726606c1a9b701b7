// The fuzz targets' corpus run through the fuzz targets' own checks, so the
// ordinary g++ build keeps every input the fuzzer ever found interesting.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_properties.h"
#include "support/net.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Corpus(const char* target) {
  std::vector<std::string> inputs;
  for (const auto& entry : fs::directory_iterator(fs::path(TARNWICK_FUZZ_CORPUS) / target))
    inputs.push_back(tw::Read(entry.path()));
  return inputs;
}

TEST(FuzzCorpus, EveryInputKeepsTheProperties) {
  const struct { const char* target; std::string (*check)(std::string_view); } targets[] = {
      {"stream_header", fuzz::CheckStreamHeader}, {"settings", fuzz::CheckSettings},
      {"forward_queue", fuzz::CheckForwardFiles}};
  for (const auto& t : targets) {
    const std::vector<std::string> inputs = Corpus(t.target);
    EXPECT_GE(inputs.size(), 10u) << t.target << ": a corpus gone missing would pass on nothing";
    for (const std::string& input : inputs)
      EXPECT_EQ(t.check(input), "") << t.target << ": \"" << EscapeControl(input.substr(0, 80), {.utf8 = true}) << '"';
  }
}

// Every key of the table set somewhere in the corpus, so that each reader runs.
TEST(FuzzCorpus, SettingsCorpusSetsEveryKnownKey) {
  std::set<const KnownSetting*> unset;
  for (const KnownSetting& k : KnownSettings()) unset.insert(&k);
  for (const std::string& input : Corpus("settings"))
    std::erase_if(unset, [ini = IniFile::Parse(input)](const KnownSetting* k) {
      return ini.Value(k->section, k->key).has_value();
    });
  for (const KnownSetting* k : unset) ADD_FAILURE() << "no input sets [" << k->section << "] " << k->key;
}

}  // namespace
}  // namespace tarnwick
