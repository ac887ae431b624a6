#include "text/catalogue.h"

#include <cstdio>

#include "package/package.h"
#include "text/system_state.h"

namespace {

// The Shift-JIS texts, one constant per entry of src/text/ja/catalogue.txt.
#define KSF_JA(name, text) constexpr const char kJa##name[] = text;
#include "catalogue_sjis.inc"
#undef KSF_JA

struct Pair {
  const char* english;
  const char* japanese;
};

constexpr Pair kMessages[] = {
    {"INI file not found. (Code %d)", kJaIniNotFound},
    {"Firmware file not found. (Code %d)", kJaFirmwareNotFound},
    {"Firmware file reading failure. (Code %d)", kJaFirmwareReadFailure},
    {"INI file value error. (Code %d)", kJaIniValueError},
    {"WNASPI32.DLL load failed.", kJaAspiLoadFailed},
    {"ASPI32 not found.", kJaAspiNotFound},
    {"No applicable drive found.", kJaNoDrive},
    {"WNASPI32.DLL is necessary for this program.", kJaAspiNecessary},
    {" Please Select Drive and Click UPDATE Button.", kJaStatusSelectDrive},
    {" Wait... (Transferring data)", kJaStatusTransferring},
    {" Wait... (Running Firmware upgrade procedure)", kJaStatusRunning},
    {" Firmware update is completed.", kJaStatusCompleted},
    {"Firmware update is failed.\n\n", kJaUpdateFailed},
    {"Firmware update is completed.", kJaUpdateCompleted},
    {"Firmware update is completed.\n\nDo you want to restart your computer now?",
     kJaUpdateCompletedRestart},
    {"Drive version check failure.", kJaDriveVersionCheckFailure},
    {"This firmware upgrade does not apply to your drive. Please \nvisit Kestran Web Site to "
     "check availability of latest firmware \nfor the drive you have.",
     kJaBoardNotApplicable},
    {"The drive isn't applicable to this firmware.", kJaModelNotApplicable},
    {"Drive has later version of firmware than this program. Please \nvisit Kestran Web Site "
     "to check availability of latest firmware \nfor the drive you have.\n\nDo you continue it ?",
     kJaDriveHasLaterVersion},
    {"Can't reboot.", kJaCantReboot},
    {"An update program is already running.", kJaAlreadyRunning},
};
static_assert(sizeof(kMessages) / sizeof(kMessages[0]) == static_cast<int>(Msg::kCount),
              "one pair for every message");

constexpr const char* kNoticePieces[] = {
    // English
    " Drive firmware update program\r\n\r\nThis program can update the firmware of ",
    " DOES NOT AND CANNOT WARRANT THE PERFORMANCE OR RESULTS YOU MAY OBTAIN BY USING THIS "
    "SOFTWARE.\r\nIN NO EVENT WILL ",
    " BE LIABLE FOR ANY SPECIAL DAMAGES, INCLUDING ANY LOST PROFITS, OR OTHER INCIDENTALS OR "
    "CONSEQUENTIAL DAMAGES, EVEN IF ",
    " HAS BEEN ADVISED OF THE POSSIBILITY OF SUCH DAMAGES, OR FOR ANY CLAIM BY ANY OTHER "
    "PARTY.\r\n\r\nCAUTION!\r\nPlease close other applications that are running.\r\nAnd eject "
    "the disc from the ",
    " drive you would like to update.",
    // Japanese
    kJaNoticePiece4,
    kJaNoticePiece10,
    kJaNoticePiece13,
    kJaNoticePiece15,
    kJaNoticePiece17,
};
static_assert(sizeof(kNoticePieces) / sizeof(kNoticePieces[0]) ==
                  static_cast<int>(NoticePiece::kCount),
              "one text for every notice piece");

}  // namespace

const char* TextIn(Msg message, bool japanese) {
  const auto index = static_cast<unsigned>(message);
  if (index >= static_cast<unsigned>(Msg::kCount)) return "";
  return japanese ? kMessages[index].japanese : kMessages[index].english;
}

const char* Text(Msg message) { return TextIn(message, JapaneseMode()); }

Msg PackageResultMessage(uint8_t code) {
  switch (code) {
    case kPackageNoFile:
      return Msg::IniNotFound;
    case kImageCannotOpen:
      return Msg::FirmwareNotFound;
    case kImageReadFailed:
    case kImageSizeDiffers:
      return Msg::FirmwareReadFailure;
    default:
      return Msg::IniValueError;
  }
}

void FormatPackageError(uint8_t code, char* out, size_t size) {
  // The format is one of the catalogue's own texts, each with one "%d".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(out, size, Text(PackageResultMessage(code)), static_cast<int>(code));
#pragma GCC diagnostic pop
}

const char* NoticeText(NoticePiece piece) {
  const auto index = static_cast<unsigned>(piece);
  if (index >= static_cast<unsigned>(NoticePiece::kCount)) return "";
  return kNoticePieces[index];
}

const char* MakerNameJa() { return kJaMakerName; }
const char* FontMsGothic() { return kJaFontMsGothic; }
const char* FontMsPGothic() { return kJaFontMsPGothic; }
