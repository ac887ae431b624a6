// Drive enumeration and matching against the package's INQUIRY list.
#pragma once

#include <cstdint>

#include "discovery/drive_table.h"

uint8_t DiscoverDrives();
int MatchInquiryList(const uint8_t* identification28, const char* list);
// Reads INQUIRY until two reads in a row agree; false when the drive never
// settles (given up after 10 pairs).
bool ReadStableInquiry(const DriveRecord& drive, uint8_t out40[40]);
