#include "text/welcome_text.h"

#include <cstring>

#include "text/catalogue.h"
#include "text/system_state.h"

namespace {

constexpr size_t kVendorLength = 8;
constexpr size_t kProductLength = 16;

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string TrimRight(std::string text) {
  while (!text.empty() && IsWhiteSpace(text.back())) text.pop_back();
  return text;
}

// The second white-space separated word of `text`, its first when there is
// only one, empty when there is none.
std::string PickModelWord(const std::string& text) {
  std::string words[2];
  int found = 0;
  size_t i = 0;
  while (i < text.size() && found < 2) {
    while (i < text.size() && IsWhiteSpace(text[i])) ++i;
    const size_t start = i;
    while (i < text.size() && !IsWhiteSpace(text[i])) ++i;
    if (i > start) words[found++] = text.substr(start, i - start);
  }
  return found == 2 ? words[1] : words[0];
}

const char* ClassWordOf(uint8_t drive_class) {
  switch (drive_class) {
    case 1:
    case 2:
      return "CD-R";
    case 3:
      return "CD-ROM";
    default:
      return "";
  }
}

}  // namespace

WelcomeWords ExtractWelcomeWords(const char* inquiry_list, uint8_t drive_class,
                                 const char* version) {
  WelcomeWords words;
  const std::string list = inquiry_list != nullptr ? inquiry_list : "";
  words.vendor = TrimRight(list.substr(0, kVendorLength));
  if (list.size() > kVendorLength) {
    std::string product = list.substr(kVendorLength, kProductLength);
    const size_t semicolon = product.find(';');
    if (semicolon != std::string::npos) product.resize(semicolon);
    words.product = product;
  }
  words.model_word = PickModelWord(words.product);
  words.class_word = ClassWordOf(drive_class);
  words.version = version != nullptr ? version : "";
  return words;
}

std::string WelcomeCaption(const WelcomeWords& words) {
  return words.model_word + " Firmware " + words.version + " - Welcome";
}

std::string ModelLabelText(const WelcomeWords& words) {
  return TrimRight(words.product) + "  Firmware";
}

std::string VersionLabelText(const WelcomeWords& words) {
  return "Version " + words.version.substr(0, 4);
}

bool WelcomeNeedsAspi(uint8_t os_kind, uint8_t no_pass_through) {
  return os_kind == kOsWindows9x || no_pass_through == 1;
}

const char* InformationLineText(bool needs_aspi, bool japanese) {
  if (!needs_aspi) return "";
  return TextIn(Msg::AspiNecessary, japanese);
}

std::string ComposeNotice(const WelcomeWords& w, bool japanese) {
  std::string notice;
  // Both notices open with "<vendor> <class>", the program line, and then
  // "<vendor> <class>" again before the model.
  const std::string vendor_class = w.vendor + " " + w.class_word;
  notice += vendor_class;
  notice += NoticeText(japanese ? NoticePiece::Ja4 : NoticePiece::En4);
  notice += vendor_class;
  if (!japanese) {
    notice += " Drive ";
    notice += w.model_word;
    notice += "\r\n\r\n";
    notice += w.vendor;
    notice += NoticeText(NoticePiece::En12);
    notice += w.vendor;
    notice += NoticeText(NoticePiece::En14);
    notice += w.vendor;
    notice += NoticeText(NoticePiece::En16);
    notice += w.class_word;
    notice += NoticeText(NoticePiece::En18);
    return notice;
  }
  // The maker's own drives name it in katakana; any other vendor by its text.
  const std::string maker =
      w.vendor.compare(0, 7, "KESTRAN") == 0 ? std::string(MakerNameJa()) : w.vendor;
  notice += " ";
  notice += w.model_word;
  notice += NoticeText(NoticePiece::Ja10);
  notice += "\r\n\r\n";
  notice += maker;
  notice += NoticeText(NoticePiece::Ja13);
  notice += maker;
  notice += NoticeText(NoticePiece::Ja15);
  notice += w.class_word;
  notice += NoticeText(NoticePiece::Ja17);
  return notice;
}

bool ShowsMakerLogo(const char* inquiry_list) {
  return inquiry_list != nullptr && std::strncmp(inquiry_list, "KESTRAN ", 8) == 0;
}

int PointSizeToFontHeight(int tenths, int dpi) { return -(tenths * dpi / 720); }
