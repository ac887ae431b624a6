// What the welcome dialog shows, worked out from the package: the words taken
// from the INQUIRY list, the caption, the label texts and the notice in
// either language.  Plain functions, so they can be checked without windows.
#pragma once

#include <cstdint>
#include <string>

struct WelcomeWords {
  std::string vendor;      // first 8 characters of the INQUIRY list, trailing white space removed
  std::string product;     // the next (up to) 16 characters, cut at the first ';'
  std::string model_word;  // the product's second word, else its first, else empty
  std::string class_word;  // "CD-R" (classes 1 and 2), "CD-ROM" (class 3)
  std::string version;     // the package version text
};

WelcomeWords ExtractWelcomeWords(const char* inquiry_list, uint8_t drive_class,
                                 const char* version);

// "%s Firmware %s - Welcome" with the model word and the version text.
std::string WelcomeCaption(const WelcomeWords& words);
// The product text without trailing white space, then "  Firmware".
std::string ModelLabelText(const WelcomeWords& words);
// "Version %.4s".
std::string VersionLabelText(const WelcomeWords& words);
// The ASPI library is needed when the ASPI transport will be used: on the
// 95/98/Me family, or when the package turns the pass-through off.
bool WelcomeNeedsAspi(uint8_t os_kind, uint8_t no_pass_through);
// The information line: the ASPI notice (English or Shift-JIS) or empty.
const char* InformationLineText(bool needs_aspi, bool japanese);
// The notice text in English, or in Japanese (Shift-JIS) when `japanese`.
std::string ComposeNotice(const WelcomeWords& words, bool japanese);
// The logo stays visible only when the list starts with exactly "KESTRAN ".
bool ShowsMakerLogo(const char* inquiry_list);

// Character height of a font of `tenths` of a point on a device with `dpi`
// vertical dots per inch: -(tenths * dpi / 720), negative for the character
// (not cell) height.
int PointSizeToFontHeight(int tenths, int dpi);
