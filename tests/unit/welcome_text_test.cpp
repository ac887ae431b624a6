// The welcome dialog's texts as worked out from the package.
#include "text/welcome_text.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "text/catalogue.h"

namespace {

TEST(WelcomeText, WordsFromTheInquiryList) {
  // list, class: vendor|product|model word|class word
  const std::tuple<const char*, uint8_t, const char*> cases[] = {
      {"KESTRAN TQ517T;", 2, "KESTRAN|TQ517T|TQ517T|CD-R"},
      {"ACME    CD-ROM\tX-1;", 3, "ACME|CD-ROM\tX-1|X-1|CD-ROM"},
      {"KESTRAN CD-RW DRIVE TQ-5170TX;", 1, "KESTRAN|CD-RW DRIVE TQ-5|DRIVE|CD-R"},
      {"KESTRAN CD-R TQ-1;KESTRAN CD-R TQ-2;", 1, "KESTRAN|CD-R TQ-1|TQ-1|CD-R"},
      {"KESTRAN       ;", 1, "KESTRAN|      ||CD-R"},
      {"AB      X", 1, "AB|X|X|CD-R"},
      {"", 1, "|||CD-R"},
  };
  for (const auto& [list, drive_class, words] : cases) {
    const WelcomeWords w = ExtractWelcomeWords(list, drive_class, "1.10");
    EXPECT_EQ(w.vendor + "|" + w.product + "|" + w.model_word + "|" + w.class_word, words) << list;
  }
}

// The maker's own package is shown end to end (tests/e2e, welcome_en and
// welcome_ja: caption, labels, both notices); here the other lists.
TEST(WelcomeText, EnglishNoticeNamesAnotherVendorInEveryPlace) {
  const std::string other = ComposeNotice(ExtractWelcomeWords("ACME    CD-ROM X-1;", 3, ""), false);
  EXPECT_EQ(other.find("KESTRAN"), std::string::npos);
  EXPECT_NE(other.find("ACME CD-ROM Drive firmware update program\r\n\r\n"
                       "This program can update the firmware of ACME CD-ROM Drive X-1\r\n"),
            std::string::npos);
  EXPECT_NE(other.find("from the CD-ROM drive"), std::string::npos);
}

// The Japanese notice in its order, with `maker` where the disclaimer names
// the maker.
std::string JapaneseNotice(const std::string& vendor, const std::string& class_word,
                           const std::string& model, const std::string& maker) {
  return vendor + " " + class_word + NoticeText(NoticePiece::Ja4) + vendor + " " + class_word +
         " " + model + NoticeText(NoticePiece::Ja10) + "\r\n\r\n" + maker +
         NoticeText(NoticePiece::Ja13) + maker + NoticeText(NoticePiece::Ja15) + class_word +
         NoticeText(NoticePiece::Ja17);
}

TEST(WelcomeText, JapaneseNoticeNamesTheMakerInKatakana) {
  const std::string katakana = "\x83\x50\x83\x58\x83\x67\x83\x89\x83\x93";  // Shift-JIS
  // Only the first seven letters count here (the logo wants "KESTRAN ").
  EXPECT_EQ(ComposeNotice(ExtractWelcomeWords("KESTRANXTQ-1;", 1, ""), true),
            JapaneseNotice("KESTRANX", "CD-R", "TQ-1", katakana));
  EXPECT_EQ(ComposeNotice(ExtractWelcomeWords("ACME    CD-ROM X-1;", 3, ""), true),
            JapaneseNotice("ACME", "CD-ROM", "X-1", "ACME"));
}

TEST(WelcomeText, LogoAndInformationLine) {
  // The maker's logo, and the ASPI line on 95/98/Me and with the pass-through
  // turned off, are shown end to end.
  for (const char* list : {"KESTRAN", "kestran CD-R;", "KESTRAN\tCD-R;", " KESTRAN CD-R;", ""})
    EXPECT_FALSE(ShowsMakerLogo(list)) << list;
  EXPECT_FALSE(WelcomeNeedsAspi(1, 0) || WelcomeNeedsAspi(2, 0));
  EXPECT_STREQ(InformationLineText(false, true), "");
  EXPECT_EQ(PointSizeToFontHeight(85, 96), -11);  // 8.5 pt at 96 dpi: 11.33 rounded down
}

}  // namespace
