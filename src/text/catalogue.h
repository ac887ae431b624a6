// Localised texts: every user-visible message as an English/Japanese pair.
// The Japanese forms are Shift-JIS (code page 932) byte strings, generated at
// build time from UTF-8 (src/text/ja/catalogue.txt -> catalogue_sjis.inc).
#pragma once

#include <cstddef>
#include <cstdint>

enum class Msg {
  IniNotFound,               // "INI file not found. (Code %d)"
  FirmwareNotFound,          // "Firmware file not found. (Code %d)"
  FirmwareReadFailure,       // "Firmware file reading failure. (Code %d)"
  IniValueError,             // "INI file value error. (Code %d)"
  AspiLoadFailed,            // "WNASPI32.DLL load failed."
  AspiNotFound,              // "ASPI32 not found."
  NoDrive,                   // "No applicable drive found."
  AspiNecessary,             // "WNASPI32.DLL is necessary for this program."
  StatusSelectDrive,         // " Please Select Drive and Click UPDATE Button."
  StatusTransferring,        // " Wait... (Transferring data)"
  StatusRunning,             // " Wait... (Running Firmware upgrade procedure)"
  StatusCompleted,           // " Firmware update is completed."
  UpdateFailed,              // "Firmware update is failed.\n\n"
  UpdateCompleted,           // "Firmware update is completed."
  UpdateCompletedRestart,    // "... completed.\n\nDo you want to restart your computer now?"
  DriveVersionCheckFailure,  // "Drive version check failure."
  BoardNotApplicable,        // "This firmware upgrade does not apply to your drive. ..."
  ModelNotApplicable,        // "The drive isn't applicable to this firmware."
  DriveHasLaterVersion,      // "Drive has later version of firmware than this program. ..."
  CantReboot,                // "Can't reboot."
  AlreadyRunning,            // "An update program is already running."
  kCount
};

const char* Text(Msg message);  // by UserLcid (Japanese when it is 1041)
const char* TextIn(Msg message, bool japanese);

// The message (a format with one "%d") that start-up shows for a non-zero
// package result code.
Msg PackageResultMessage(uint8_t code);
// That message with the code filled in, in the current language.
void FormatPackageError(uint8_t code, char* out, size_t size);

constexpr const char* kCaptionError = "Error - Upgrade Program";
constexpr const char* kCaptionInformation = "Information - Upgrade Program";

// The fixed pieces of the welcome dialog's notice text.  The notice is put
// together from these and the package's words (vendor, class, model, maker
// name); the numbers are the pieces' places in the notice of each language.
// English pieces: 4, 12, 14, 16, 18.  Japanese pieces: 4 (holds the
// ideographic space U+3000), 10, 13, 15, 17.
enum class NoticePiece {
  En4,   // " Drive firmware update program\r\n\r\nThis program can update the firmware of "
  En12,  // " DOES NOT AND CANNOT WARRANT ... IN NO EVENT WILL "
  En14,  // " BE LIABLE FOR ANY SPECIAL DAMAGES, ... EVEN IF "
  En16,  // " HAS BEEN ADVISED ... And eject the disc from the "
  En18,  // " drive you would like to update."
  Ja4,   // "ドライブ　ファームウェア更新プログラム\r\n\r\n本プログラムは"
  Ja10,  // " のファームウェアを更新します。"
  Ja13,  // "は、本ソフトウェアを使用することによって ... たとえ"
  Ja15,  // "が、そのようなダメージの可能性について ... 全て終了し、"
  Ja17,  // "ドライブからディスクを取り出して下さい。"
  kCount
};
// The piece's text: English pieces are plain ASCII, Japanese ones Shift-JIS.
const char* NoticeText(NoticePiece piece);

// The maker's name in katakana ("ケストラン"), Shift-JIS.
const char* MakerNameJa();

// Font faces of the Japanese mode, Shift-JIS: "ＭＳ ゴシック" (welcome dialog)
// and "ＭＳ Ｐゴシック" (main dialog's status line).
const char* FontMsGothic();
const char* FontMsPGothic();
