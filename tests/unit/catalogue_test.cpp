// The message catalogue: the Shift-JIS texts generated at build time decode
// back to their UTF-8 sources, and every message picks its language by
// UserLcid.
#include <gtest/gtest.h>
#include <iconv.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "text/catalogue.h"
#include "text/system_state.h"

namespace {

// The generated table, by entry name.
const std::map<std::string, std::string> kGenerated = {
#define KSF_JA(name, text) {#name, std::string(text, sizeof(text) - 1)},
#include "catalogue_sjis.inc"
#undef KSF_JA
};

// The UTF-8 sources (NAME, TAB, text with the escapes \n \r \\), read here
// independently of the build's generator.
std::map<std::string, std::string> Sources() {
  std::ifstream in(std::filesystem::path(__FILE__).parent_path() /
                   "../../src/text/ja/catalogue.txt");
  std::map<std::string, std::string> table;
  for (std::string line; std::getline(in, line);) {
    const size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    std::string& text = table[line.substr(0, tab)];
    for (size_t i = tab + 1; i < line.size(); ++i) {
      char c = line[i];
      if (c == '\\') c = line[++i] == 'n' ? '\n' : line[i] == 'r' ? '\r' : line[i];
      text += c;
    }
  }
  return table;
}

// Code page 932 to UTF-8 with the C library's converter.
std::string Utf8(std::string sjis) {
  const iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no CP932 converter>";
  std::string out(sjis.size() * 4, '\0');
  char *from = sjis.data(), *to = out.data();
  size_t from_left = sjis.size(), to_left = out.size();
  const size_t rc = iconv(cd, &from, &from_left, &to, &to_left);
  iconv_close(cd);
  return rc == static_cast<size_t>(-1) ? "<invalid Shift-JIS>"
                                       : out.substr(0, out.size() - to_left);
}

TEST(Catalogue, GeneratedShiftJisDecodesToTheUtf8Sources) {
  const auto sources = Sources();
  ASSERT_EQ(sources.size(), kGenerated.size());
  for (const auto& [name, utf8] : sources) EXPECT_EQ(Utf8(kGenerated.at(name)), utf8) << name;
  // The end-to-end texts (tests/e2e/scenarios.sh) are typed independently of
  // the sources.
}

TEST(Catalogue, EveryMessageInTheLanguageOfUserLcid) {
  std::istringstream list(
      "IniNotFound FirmwareNotFound FirmwareReadFailure IniValueError AspiLoadFailed AspiNotFound "
      "NoDrive AspiNecessary StatusSelectDrive StatusTransferring StatusRunning StatusCompleted "
      "UpdateFailed UpdateCompleted UpdateCompletedRestart DriveVersionCheckFailure "
      "BoardNotApplicable ModelNotApplicable DriveHasLaterVersion CantReboot AlreadyRunning");
  const std::vector<std::string> names{std::istream_iterator<std::string>(list), {}};
  ASSERT_EQ(names.size(), static_cast<size_t>(Msg::kCount));
  const uint32_t saved = UserLcid;
  for (uint32_t lcid : {1041u, 1033u, 0x10411u}) {
    UserLcid = lcid;
    for (size_t m = 0; m < names.size(); ++m) {
      const std::string english = TextIn(static_cast<Msg>(m), false);
      EXPECT_NE(english, kGenerated.at(names[m]));
      EXPECT_EQ(Text(static_cast<Msg>(m)), lcid == 1041 ? kGenerated.at(names[m]) : english)
          << names[m];
    }
  }
  UserLcid = saved;
}

}  // namespace
