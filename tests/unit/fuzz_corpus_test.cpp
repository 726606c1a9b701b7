// The fuzz targets' corpus run through the fuzz targets' own checks, so the
// ordinary g++ build keeps every input the fuzzer ever found interesting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_properties.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Corpus(const char* target) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(fs::path(TARNWICK_FUZZ_CORPUS) / target))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> inputs;
  for (const fs::path& p : files) {
    std::ifstream in(p, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return inputs;
}

std::string Printable(const std::string& input) {
  std::string out;
  for (unsigned char c : input.substr(0, 80)) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

TEST(FuzzCorpus, EveryInputKeepsTheProperties) {
  const struct {
    const char* target;
    std::string (*check)(std::string_view);
  } targets[] = {{"stream_header", fuzz::CheckStreamHeader},
                 {"settings", fuzz::CheckSettings},
                 {"forward_queue", fuzz::CheckForwardFiles}};
  for (const auto& t : targets) {
    const std::vector<std::string> inputs = Corpus(t.target);
    // A corpus that went missing would make this test pass on nothing.
    EXPECT_GE(inputs.size(), 10u) << t.target;
    for (const std::string& input : inputs)
      EXPECT_EQ(t.check(input), "") << t.target << ": \"" << Printable(input) << "\"";
  }
}

// Minimizing the corpus must not drop the cases it is kept for.
TEST(FuzzCorpus, HeaderCorpusReachesEveryOutcome) {
  using Form = StreamHeader::Form;
  std::set<Form> forms;
  std::set<std::string> refusals;
  bool device_refused = false, reserved_char_refused = false, long_field_cut = false;
  for (const std::string& input : Corpus("stream_header")) {
    const StreamHeader h = ParseStreamHeader(input);
    forms.insert(h.form);
    if (h.form != Form::Malformed) continue;
    refusals.insert(h.error + " " + std::to_string(h.error_code));
    const std::string name = h.error == "invalid repo_name" ? h.repo : h.save;
    if (h.error.starts_with("invalid") && name.find_first_of("\\:*?\"<>|") != std::string::npos)
      reserved_char_refused = true;
    if (h.error.starts_with("invalid") && fuzz::detail::NameViolation(name, h.error == "invalid save_name").empty())
      device_refused = true;  // refused for what the name is, not for a character or its length
    if (h.repo.size() == kHeaderFieldMax) long_field_cut = true;
  }
  EXPECT_EQ(forms, (std::set<Form>{Form::OneField, Form::ThreeField, Form::FourField, Form::Malformed}));
  for (const char* r : {"wrong format -1", "wrong format 0", "wrong format 2", "wrong format 3",
                        "wrong format 4", "invalid repo_name 0", "invalid save_name 0"})
    EXPECT_TRUE(refusals.contains(r)) << r;
  EXPECT_TRUE(device_refused);
  EXPECT_TRUE(reserved_char_refused);
  EXPECT_TRUE(long_field_cut);
}

TEST(FuzzCorpus, ForwardCorpusHoldsQueueLinesAndConflictRecords) {
  int lines = 0, conflicts = 0, offsets = 0;
  for (const std::string& input : Corpus("forward_queue")) {
    lines += ParseQueueLine(input).has_value();
    const ForwardRecord r = ParseRecord(input);
    conflicts += r.set_aside;
    offsets += r.offset > 0;
  }
  EXPECT_GT(lines, 0);
  EXPECT_GT(conflicts, 0);
  EXPECT_GT(offsets, 0);
}

}  // namespace
}  // namespace tarnwick
