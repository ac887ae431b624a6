// The seven drive commands: each builds its CDB and returns ExecuteCommand's
// result code unchanged.
#pragma once

#include <cstdint>

#include "transport/drive_record.h"

int Inquiry(const DriveRecord& drive, void* buffer, uint32_t length);
int TestUnitReady(const DriveRecord& drive);
int StartStopUnit(const DriveRecord& drive, uint8_t load_eject_start, uint8_t immediate);
int ReadDriveMemory(const DriveRecord& drive, void* buffer, uint32_t length, uint32_t address);
int FlashControl(const DriveRecord& drive, uint8_t byte7, uint8_t byte8);
int SetDownloadMode(const DriveRecord& drive, uint8_t mode);
int WriteFlashBlock(const DriveRecord& drive, const void* data, uint32_t length, uint32_t address);
// Byte sum of a flash block modulo 65536 (the vendor write's checksum).
uint16_t FlashChecksum(const uint8_t* data, uint32_t length);
// The same sum without vector instructions: what builds without SSE2 use;
// public so the tests hold both to the same reference.
uint16_t FlashChecksumPortable(const uint8_t* data, uint32_t length);
