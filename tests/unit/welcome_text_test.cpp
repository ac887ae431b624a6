// The welcome dialog's texts as worked out from the package.
#include "app/welcome_text.h"

#include <gtest/gtest.h>

#include <string>

#include "app/catalogue.h"

namespace {

struct WordsCase {
  const char* name;
  const char* inquiry;
  uint8_t drive_class;
  const char* vendor;
  const char* product;
  const char* model_word;
  const char* class_word;
};

const WordsCase kWordsCases[] = {
    {"MakerExample", "KESTRAN CD-R   TQ-517T;", 1, "KESTRAN", "CD-R   TQ-517T", "TQ-517T", "CD-R"},
    {"SingleWordProduct", "KESTRAN TQ517T;", 1, "KESTRAN", "TQ517T", "TQ517T", "CD-R"},
    {"OtherVendor", "ACME    CD-RW  X-1;", 2, "ACME", "CD-RW  X-1", "X-1", "CD-R"},
    {"CdRomClass", "KESTRAN CD-ROM TQ-32X;", 3, "KESTRAN", "CD-ROM TQ-32X", "TQ-32X", "CD-ROM"},
    {"EmptyList", "", 1, "", "", "", "CD-R"},
    {"ShorterThanVendor", "KESTR", 1, "KESTR", "", "", "CD-R"},
    {"VendorOnly", "KESTRAN ", 1, "KESTRAN", "", "", "CD-R"},
    // Only 16 characters follow the vendor; the rest of a long entry is dropped.
    {"ProductCutAt16", "KESTRAN CD-RW DRIVE TQ-5170TX;", 2, "KESTRAN", "CD-RW DRIVE TQ-5", "DRIVE",
     "CD-R"},
    // Only the first entry counts.
    {"SeveralEntries", "KESTRAN CD-R TQ-1;KESTRAN CD-R TQ-2;", 1, "KESTRAN", "CD-R TQ-1", "TQ-1",
     "CD-R"},
    {"TabsSeparateWords", "KESTRAN\tCD-R\tTQ-1;", 1, "KESTRAN", "CD-R\tTQ-1", "TQ-1", "CD-R"},
    {"LeadingBlanksInProduct", "KESTRAN   TQ-1;", 1, "KESTRAN", "  TQ-1", "TQ-1", "CD-R"},
    {"ThreeWords", "KESTRAN CD-R TQ-1 PLUS;", 1, "KESTRAN", "CD-R TQ-1 PLUS", "TQ-1", "CD-R"},
    {"SemicolonFirst", "KESTRAN ;", 1, "KESTRAN", "", "", "CD-R"},
    {"BlankProduct", "KESTRAN       ;", 1, "KESTRAN", "      ", "", "CD-R"},
    {"NoSemicolon", "AB      X", 1, "AB", "X", "X", "CD-R"},
};

class WelcomeWordsTest : public ::testing::TestWithParam<WordsCase> {};

TEST_P(WelcomeWordsTest, ExtractsWordsFromTheInquiryList) {
  const WordsCase& c = GetParam();
  const WelcomeWords words = ExtractWelcomeWords(c.inquiry, c.drive_class, "1.10");
  EXPECT_EQ(words.vendor, c.vendor);
  EXPECT_EQ(words.product, c.product);
  EXPECT_EQ(words.model_word, c.model_word);
  EXPECT_EQ(words.class_word, c.class_word);
  EXPECT_EQ(words.version, "1.10");
}

INSTANTIATE_TEST_SUITE_P(Cases, WelcomeWordsTest, ::testing::ValuesIn(kWordsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WelcomeText, LabelsAndCaptionOfTheMakerExample) {
  const WelcomeWords words = ExtractWelcomeWords("KESTRAN CD-R   TQ-517T;", 1, "1.10");
  EXPECT_EQ(WelcomeCaption(words), "TQ-517T Firmware 1.10 - Welcome");
  EXPECT_EQ(ModelLabelText(words), "CD-R   TQ-517T  Firmware");
  EXPECT_EQ(VersionLabelText(words), "Version 1.10");
}

TEST(WelcomeText, ModelLabelKeepsLeadingBlanksAndDropsTrailingOnes) {
  EXPECT_EQ(ModelLabelText(ExtractWelcomeWords("KESTRAN  TQ-1   ;", 1, "1.0")), " TQ-1  Firmware");
  EXPECT_EQ(ModelLabelText(ExtractWelcomeWords("", 1, "1.0")), "  Firmware");
}

TEST(WelcomeText, EmptyPartsStillGiveTheFixedWords) {
  const WelcomeWords words = ExtractWelcomeWords("", 1, "");
  EXPECT_EQ(WelcomeCaption(words), " Firmware  - Welcome");
  EXPECT_EQ(VersionLabelText(words), "Version ");
}

TEST(WelcomeText, EnglishNoticeOfTheMakerExample) {
  const WelcomeWords words = ExtractWelcomeWords("KESTRAN CD-R   TQ-517T;", 1, "1.10");
  EXPECT_EQ(ComposeNotice(words, false),
            "KESTRAN CD-R Drive firmware update program\r\n\r\n"
            "This program can update the firmware of KESTRAN CD-R Drive TQ-517T\r\n\r\n"
            "KESTRAN DOES NOT AND CANNOT WARRANT THE PERFORMANCE OR RESULTS YOU MAY OBTAIN BY "
            "USING THIS SOFTWARE.\r\n"
            "IN NO EVENT WILL KESTRAN BE LIABLE FOR ANY SPECIAL DAMAGES, INCLUDING ANY LOST "
            "PROFITS, OR OTHER INCIDENTALS OR CONSEQUENTIAL DAMAGES, EVEN IF KESTRAN HAS BEEN "
            "ADVISED OF THE POSSIBILITY OF SUCH DAMAGES, OR FOR ANY CLAIM BY ANY OTHER PARTY."
            "\r\n\r\nCAUTION!\r\nPlease close other applications that are running.\r\n"
            "And eject the disc from the CD-R drive you would like to update.");
}

TEST(WelcomeText, EnglishNoticeNamesAnotherVendorEverywhere) {
  const WelcomeWords words = ExtractWelcomeWords("ACME    CD-ROM X-1;", 3, "2.00");
  const std::string notice = ComposeNotice(words, false);
  EXPECT_EQ(notice.rfind("ACME CD-ROM Drive firmware update program\r\n\r\n", 0), 0u);
  EXPECT_NE(notice.find("firmware of ACME CD-ROM Drive X-1\r\n"), std::string::npos);
  EXPECT_NE(notice.find("\r\n\r\nACME DOES NOT"), std::string::npos);
  EXPECT_NE(notice.find("WILL ACME BE LIABLE"), std::string::npos);
  EXPECT_NE(notice.find("EVEN IF ACME HAS BEEN"), std::string::npos);
  EXPECT_NE(notice.find("from the CD-ROM drive you would like to update."), std::string::npos);
  EXPECT_EQ(notice.find("KESTRAN"), std::string::npos);
}

// The Japanese notice in the order the dialog shows it, with `maker` where the
// disclaimer names the maker.
std::string JapaneseNotice(const std::string& vendor, const std::string& class_word,
                           const std::string& model, const std::string& maker) {
  return vendor + " " + class_word + NoticeText(NoticePiece::Ja4) + vendor + " " + class_word +
         " " + model + NoticeText(NoticePiece::Ja10) + "\r\n\r\n" + maker +
         NoticeText(NoticePiece::Ja13) + maker + NoticeText(NoticePiece::Ja15) + class_word +
         NoticeText(NoticePiece::Ja17);
}

TEST(WelcomeText, JapaneseNoticeNamesTheMakerInKatakana) {
  const WelcomeWords words = ExtractWelcomeWords("KESTRAN CD-R   TQ-517T;", 2, "1.10");
  EXPECT_EQ(ComposeNotice(words, true),
            JapaneseNotice("KESTRAN", "CD-R", "TQ-517T", MakerNameJa()));
  // "ケストラン" in Shift-JIS.
  EXPECT_STREQ(MakerNameJa(), "\x83\x50\x83\x58\x83\x67\x83\x89\x83\x93");
}

TEST(WelcomeText, JapaneseNoticeUsesAnotherVendorsOwnName) {
  const WelcomeWords words = ExtractWelcomeWords("ACME    CD-ROM X-1;", 3, "2.00");
  const std::string notice = ComposeNotice(words, true);
  EXPECT_EQ(notice, JapaneseNotice("ACME", "CD-ROM", "X-1", "ACME"));
  EXPECT_EQ(notice.find(MakerNameJa()), std::string::npos);
}

TEST(WelcomeText, JapaneseMakerNameNeedsOnlyTheFirstSevenLetters) {
  // The logo wants "KESTRAN " exactly; the katakana name only "KESTRAN" in front.
  const WelcomeWords words = ExtractWelcomeWords("KESTRANXTQ-1;", 1, "1.00");
  EXPECT_EQ(ComposeNotice(words, true), JapaneseNotice("KESTRANX", "CD-R", "TQ-1", MakerNameJa()));
  EXPECT_FALSE(ShowsMakerLogo("KESTRANXTQ-1;"));

  const WelcomeWords short_vendor = ExtractWelcomeWords("KESTRA  TQ-1;", 1, "1.00");
  EXPECT_EQ(ComposeNotice(short_vendor, true), JapaneseNotice("KESTRA", "CD-R", "TQ-1", "KESTRA"));
}

TEST(WelcomeText, NoticeWithEmptyListIsBuiltFromTheFixedPieces) {
  const WelcomeWords words = ExtractWelcomeWords("", 1, "");
  EXPECT_EQ(ComposeNotice(words, true), JapaneseNotice("", "CD-R", "", ""));
  EXPECT_EQ(ComposeNotice(words, false).rfind(" CD-R Drive firmware update program", 0), 0u);
}

TEST(WelcomeText, LogoOnlyForTheMakersOwnVendorField) {
  const struct {
    const char* list;
    bool shows;
  } cases[] = {
      {"KESTRAN CD-R   TQ-517T;", true},
      {"KESTRAN ", true},
      {"KESTRAN", false},
      {"kestran CD-R TQ-1;", false},
      {"KESTRAN\tCD-R;", false},
      {" KESTRAN CD-R;", false},
      {"ACME    CD-R X;", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(ShowsMakerLogo(c.list), c.shows) << '"' << c.list << '"';
  EXPECT_FALSE(ShowsMakerLogo(nullptr));
}

TEST(WelcomeText, InformationLineOnlyWhenAspiIsUsed) {
  EXPECT_TRUE(WelcomeNeedsAspi(0, 0));  // 95/98/Me
  EXPECT_TRUE(WelcomeNeedsAspi(0, 1));
  EXPECT_FALSE(WelcomeNeedsAspi(1, 0));  // NT: pass-through
  EXPECT_FALSE(WelcomeNeedsAspi(2, 0));
  EXPECT_TRUE(WelcomeNeedsAspi(2, 1));  // NT, pass-through switched off

  EXPECT_STREQ(InformationLineText(false, false), "");
  EXPECT_STREQ(InformationLineText(false, true), "");
  EXPECT_STREQ(InformationLineText(true, false), "WNASPI32.DLL is necessary for this program.");
  EXPECT_STREQ(InformationLineText(true, true), TextIn(Msg::AspiNecessary, true));
}

TEST(WelcomeText, PointSizeBecomesANegativeCharacterHeight) {
  const struct {
    int tenths, dpi, height;
  } cases[] = {
      {190, 96, -25},  // 25.33 rounded towards zero
      {150, 96, -20}, {90, 96, -12}, {85, 96, -11}, {90, 120, -15}, {0, 96, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PointSizeToFontHeight(c.tenths, c.dpi), c.height) << c.tenths << " @ " << c.dpi;
  }
}

}  // namespace
