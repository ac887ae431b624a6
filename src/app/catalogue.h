// Localised texts: every user-visible message as an English/Japanese pair.
// The Japanese forms are Shift-JIS (code page 932) byte strings, generated at
// build time from UTF-8 (catalogue_sjis.inc).
#pragma once

enum class Msg {
  IniNotFound,           // "INI file not found. (Code %d)"
  FirmwareNotFound,      // "Firmware file not found. (Code %d)"
  FirmwareReadFailure,   // "Firmware file reading failure. (Code %d)"
  IniValueError,         // "INI file value error. (Code %d)"
  AspiLoadFailed,        // "WNASPI32.DLL load failed."
  AspiNotFound,          // "ASPI32 not found."
  NoDrive,               // "No applicable drive found."
  AspiNecessary,         // "WNASPI32.DLL is necessary for this program."
  StatusSelectDrive,     // " Please Select Drive and Click UPDATE Button."
  StatusTransferring,    // " Wait... (Transferring data)"
  StatusRunning,         // " Wait... (Running Firmware upgrade procedure)"
  StatusCompleted,       // " Firmware update is completed."
  UpdateFailed,          // "Firmware update is failed.\n\n"
  UpdateCompleted,       // "Firmware update is completed."
  UpdateCompletedRestart,
  DriveVersionCheckFailure,
  BoardNotApplicable,
  ModelNotApplicable,
  DriveHasLaterVersion,
  CantReboot,
  kCount
};

const char* Text(Msg message);                 // by UserLcid
const char* TextIn(Msg message, bool japanese);

constexpr const char* kCaptionError = "Error - Upgrade Program";
constexpr const char* kCaptionInformation = "Information - Upgrade Program";
