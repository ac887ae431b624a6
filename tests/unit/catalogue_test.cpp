// The message catalogue: the generated Shift-JIS texts decode back to the
// UTF-8 sources, each message picks its language by UserLcid, and the format
// texts take exactly one number.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "app/catalogue.h"
#include "app/system_state.h"

namespace {

// The generated table, by entry name.
const std::map<std::string, std::string>& Generated() {
  static const std::map<std::string, std::string> table = {
#define KSF_JA(name, text) {#name, std::string(text, sizeof(text) - 1)},
#include "catalogue_sjis.inc"
#undef KSF_JA
  };
  return table;
}

// The UTF-8 source, parsed here independently of the build's generator.
std::map<std::string, std::string> Sources() {
  const auto path =
      std::filesystem::path(__FILE__).parent_path() / "../../src/app/ja/catalogue.txt";
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  std::map<std::string, std::string> table;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    EXPECT_NE(tab, std::string::npos) << line;
    if (tab == std::string::npos) continue;
    std::string text;
    for (size_t i = tab + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        const char e = line[++i];
        text += e == 'n' ? '\n' : e == 'r' ? '\r' : e;
      } else {
        text += line[i];
      }
    }
    table[line.substr(0, tab)] = text;
  }
  return table;
}

// Code page 932 to UTF-8 with the C library's converter.
std::string DecodeCp932(const std::string& sjis) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << "no CP932 converter";
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
  std::string input(sjis);
  std::string output(input.size() * 4 + 16, '\0');
  char* in = input.data();
  size_t in_left = input.size();
  char* out = output.data();
  size_t out_left = output.size();
  const size_t rc = iconv(cd, &in, &in_left, &out, &out_left);
  EXPECT_NE(rc, static_cast<size_t>(-1)) << "invalid Shift-JIS, errno " << errno;
  iconv_close(cd);
  output.resize(output.size() - out_left);
  return output;
}

TEST(Catalogue, GeneratedShiftJisDecodesToTheUtf8Sources) {
  const auto sources = Sources();
  const auto& generated = Generated();
  ASSERT_FALSE(sources.empty());
  ASSERT_EQ(generated.size(), sources.size());
  for (const auto& [name, utf8] : sources) {
    SCOPED_TRACE(name);
    auto it = generated.find(name);
    ASSERT_NE(it, generated.end());
    EXPECT_EQ(DecodeCp932(it->second), utf8);
  }
}

TEST(Catalogue, SourcesHoldTheTextsAsWritten) {
  // Spot checks of the UTF-8 sources themselves, typed here independently.
  const auto sources = Sources();
  EXPECT_EQ(sources.at("IniNotFound"), "INIファイルが見つかりません。(Code %d)");
  EXPECT_EQ(sources.at("StatusSelectDrive"), " ドライブを選択し、UPDATEボタンを押して下さい。");
  EXPECT_EQ(sources.at("UpdateCompletedRestart"),
            "ファームウェア更新は成功しました。\n\n再起動しますか？");
  EXPECT_EQ(sources.at("NoticePiece4"),
            "ドライブ\u3000ファームウェア更新プログラム\r\n\r\n本プログラムは");
  EXPECT_EQ(sources.at("MakerName"), "ケストラン");
  EXPECT_EQ(sources.at("FontMsGothic"), "ＭＳ ゴシック");
  EXPECT_EQ(sources.at("FontMsPGothic"), "ＭＳ Ｐゴシック");
}

TEST(Catalogue, EveryMessageTakesItsJapaneseFormFromTheGeneratedTable) {
  const std::pair<Msg, const char*> names[] = {
      {Msg::IniNotFound, "IniNotFound"},
      {Msg::FirmwareNotFound, "FirmwareNotFound"},
      {Msg::FirmwareReadFailure, "FirmwareReadFailure"},
      {Msg::IniValueError, "IniValueError"},
      {Msg::AspiLoadFailed, "AspiLoadFailed"},
      {Msg::AspiNotFound, "AspiNotFound"},
      {Msg::NoDrive, "NoDrive"},
      {Msg::AspiNecessary, "AspiNecessary"},
      {Msg::StatusSelectDrive, "StatusSelectDrive"},
      {Msg::StatusTransferring, "StatusTransferring"},
      {Msg::StatusRunning, "StatusRunning"},
      {Msg::StatusCompleted, "StatusCompleted"},
      {Msg::UpdateFailed, "UpdateFailed"},
      {Msg::UpdateCompleted, "UpdateCompleted"},
      {Msg::UpdateCompletedRestart, "UpdateCompletedRestart"},
      {Msg::DriveVersionCheckFailure, "DriveVersionCheckFailure"},
      {Msg::BoardNotApplicable, "BoardNotApplicable"},
      {Msg::ModelNotApplicable, "ModelNotApplicable"},
      {Msg::DriveHasLaterVersion, "DriveHasLaterVersion"},
      {Msg::CantReboot, "CantReboot"},
  };
  ASSERT_EQ(std::size(names), static_cast<size_t>(Msg::kCount));
  for (const auto& [message, name] : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(std::string(TextIn(message, true)), Generated().at(name));
    EXPECT_STRNE(TextIn(message, false), TextIn(message, true));
  }
  const std::pair<NoticePiece, const char*> pieces[] = {
      {NoticePiece::Ja4, "NoticePiece4"},   {NoticePiece::Ja10, "NoticePiece10"},
      {NoticePiece::Ja13, "NoticePiece13"}, {NoticePiece::Ja15, "NoticePiece15"},
      {NoticePiece::Ja17, "NoticePiece17"},
  };
  for (const auto& [piece, name] : pieces) {
    EXPECT_EQ(std::string(NoticeText(piece)), Generated().at(name)) << name;
  }
  EXPECT_EQ(std::string(MakerNameJa()), Generated().at("MakerName"));
  EXPECT_EQ(std::string(FontMsGothic()), Generated().at("FontMsGothic"));
  EXPECT_EQ(std::string(FontMsPGothic()), Generated().at("FontMsPGothic"));
  // Bytes a reader can check by eye: "ＭＳ" is 82 6C 82 72 in code page 932.
  EXPECT_EQ(std::string(FontMsGothic()).substr(0, 5), "\x82\x6C\x82\x72 ");
}

TEST(Catalogue, LanguageFollowsUserLcid) {
  const uint32_t saved = UserLcid;
  struct Case {
    uint32_t lcid;
    bool japanese;
  } cases[] = {{1041, true}, {1033, false}, {0, false}, {2052, false}, {0x10411, false}};
  for (const Case& c : cases) {
    UserLcid = c.lcid;
    for (int m = 0; m < static_cast<int>(Msg::kCount); ++m) {
      const auto message = static_cast<Msg>(m);
      EXPECT_STREQ(Text(message), TextIn(message, c.japanese)) << c.lcid << " message " << m;
    }
  }
  UserLcid = saved;
  EXPECT_STREQ(TextIn(Msg::CantReboot, false), "Can't reboot.");
  EXPECT_STREQ(TextIn(Msg::UpdateFailed, false), "Firmware update is failed.\n\n");
}

TEST(Catalogue, PackageCodesMapToTheirMessages) {
  const std::pair<uint8_t, Msg> cases[] = {
      {1, Msg::IniNotFound},       {2, Msg::IniValueError},        {3, Msg::IniValueError},
      {4, Msg::IniValueError},     {5, Msg::IniValueError},        {6, Msg::IniValueError},
      {7, Msg::IniValueError},     {8, Msg::IniValueError},        {9, Msg::IniValueError},
      {10, Msg::FirmwareNotFound}, {11, Msg::FirmwareReadFailure}, {12, Msg::FirmwareReadFailure},
  };
  for (const auto& [code, message] : cases) {
    EXPECT_EQ(PackageResultMessage(code), message) << int(code);
  }
}

// The formats are handed to printf-style formatting with one int: each must
// hold exactly one conversion, "%d", in both languages, and no other '%'.
TEST(Catalogue, CodedMessagesTakeExactlyOneNumber) {
  for (Msg message :
       {Msg::IniNotFound, Msg::FirmwareNotFound, Msg::FirmwareReadFailure, Msg::IniValueError}) {
    for (bool japanese : {false, true}) {
      const std::string text = TextIn(message, japanese);
      EXPECT_EQ(text.find('%'), text.rfind('%')) << text;
      EXPECT_NE(text.find("%d"), std::string::npos) << text;
    }
  }
  for (int m = 0; m < static_cast<int>(Msg::kCount); ++m) {
    const auto message = static_cast<Msg>(m);
    if (message == Msg::IniNotFound || message == Msg::FirmwareNotFound ||
        message == Msg::FirmwareReadFailure || message == Msg::IniValueError) {
      continue;
    }
    for (bool japanese : {false, true}) {
      EXPECT_EQ(std::string(TextIn(message, japanese)).find('%'), std::string::npos) << m;
    }
  }
}

}  // namespace
