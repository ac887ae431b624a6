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
// Another vendor's notices name it, its class and its model wherever the
// maker's own name them (those, in both languages and in order, are seen end
// to end); the Japanese one names the maker in katakana, by the first seven
// letters (the logo wants "KESTRAN "), and anyone else by the vendor.
TEST(WelcomeText, NoticesNameAnotherVendorAndTheMakerInKatakana) {
  const WelcomeWords acme = ExtractWelcomeWords("ACME    CD-ROM X-1;", 3, "");
  const std::string english = ComposeNotice(acme, false), japanese = ComposeNotice(acme, true);
  EXPECT_EQ(english.find("KESTRAN"), std::string::npos);
  EXPECT_NE(english.find("ACME CD-ROM Drive firmware update program\r\n\r\n"
                         "This program can update the firmware of ACME CD-ROM Drive X-1\r\n"),
            std::string::npos);
  EXPECT_NE(english.find("from the CD-ROM drive"), std::string::npos);
  const auto ja = [](NoticePiece piece) { return std::string(NoticeText(piece)); };
  EXPECT_EQ(japanese.rfind("ACME CD-ROM" + ja(NoticePiece::Ja4) + "ACME CD-ROM X-1", 0), 0u);
  const auto maker = [&](const std::string& name) {
    return "\r\n\r\n" + name + ja(NoticePiece::Ja13) + name + ja(NoticePiece::Ja15);
  };
  EXPECT_NE(japanese.find(maker("ACME") + "CD-ROM" + ja(NoticePiece::Ja17)), std::string::npos);
  const std::string katakana = "\x83\x50\x83\x58\x83\x67\x83\x89\x83\x93";  // Shift-JIS
  EXPECT_NE(ComposeNotice(ExtractWelcomeWords("KESTRANXTQ-1;", 1, ""), true).find(maker(katakana)),
            std::string::npos);
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
