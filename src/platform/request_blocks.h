// The published request blocks, byte for byte: the ASPI SRBs (the command
// record is laid out as SRB_ExecSCSICmd), the pass-through block and the
// adapter capabilities, with the ASPI and device request codes.  Shared by
// the transport that fills them, the Win32 platform that hands them to the
// system, and the emulated drive that decodes them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ptr32.h"

#pragma pack(push, 1)
struct SRB_Header {  // common ASPI header
  uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
};
struct SRB_HAInquiry {  // 60 bytes
  uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t HA_Count;
  uint8_t HA_SCSI_ID;
  uint8_t HA_ManagerId[16];
  uint8_t HA_Identifier[16];
  uint8_t HA_Unique[16];
  uint16_t HA_Rsvd1;
};
struct SRB_GDEVBlock {
  uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target, SRB_Lun, SRB_DeviceType, SRB_Rsvd1;
};
// `CommandRecord`: the status record of a command, laid out as SRB_ExecSCSICmd
// (80 bytes in the 32-bit build and natively).
struct CommandRecord {
  uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target, SRB_Lun;
  uint16_t SRB_Rsvd1;
  uint32_t SRB_BufLen;
  plat::PtrField SRB_BufPointer;
  uint8_t SRB_SenseLen, SRB_CDBLen, SRB_HaStat, SRB_TargStat;
  plat::PtrField SRB_PostProc;
  uint8_t SRB_Rsvd2[20];
  uint8_t CDBByte[16];
  uint8_t SenseArea[16];
};
// SCSI_PASS_THROUGH_DIRECT (44 bytes) followed by the sense buffer at 48.
struct PassThroughBlock {
  uint16_t Length;
  uint8_t ScsiStatus, PathId, TargetId, Lun, CdbLength, SenseInfoLength, DataIn;
  uint8_t Align1[3];
  uint32_t DataTransferLength;
  uint32_t TimeOutValue;
  plat::PtrField DataBuffer;
  uint32_t SenseInfoOffset;
  uint8_t Cdb[16];
  uint8_t Align2[4];
  uint8_t Sense[32];
};
struct IoScsiCapabilities {  // IO_SCSI_CAPABILITIES, 24 bytes
  uint32_t Length, MaximumTransferLength, MaximumPhysicalPages, SupportedAsynchronousEvents,
      AlignmentMask;
  uint8_t TaggedQueuing, AdapterScansDown, AdapterUsesPio, Reserved;
};
#pragma pack(pop)

// The CD-ROM class driver's exclusive access (ntddcdrm.h, Vista and later;
// the MinGW headers lack it) and the media-change polling switch (ntddstor.h).
// Natural alignment, as the system declares them.
constexpr uint32_t kCdromExclusiveCallerLength = 64;  // CDROM_EXCLUSIVE_CALLER_LENGTH
enum : uint32_t {                                     // EXCLUSIVE_ACCESS_REQUEST_TYPE
  kExclusiveAccessQueryState = 0,
  kExclusiveAccessLockDevice = 1,
  kExclusiveAccessUnlockDevice = 2,
};
constexpr uint32_t kCdromLockIgnoreVolume = 0x1;  // CDROM_LOCK_IGNORE_VOLUME
struct CdromExclusiveAccess {                     // CDROM_EXCLUSIVE_ACCESS
  uint32_t RequestType;
  uint32_t Flags;
};
struct CdromExclusiveLock {  // CDROM_EXCLUSIVE_LOCK
  CdromExclusiveAccess Access;
  uint8_t CallerName[kCdromExclusiveCallerLength];
};
struct CdromExclusiveLockState {  // CDROM_EXCLUSIVE_LOCK_STATE
  uint8_t LockState;
  uint8_t CallerName[kCdromExclusiveCallerLength];
};
struct PreventMediaRemoval {  // PREVENT_MEDIA_REMOVAL, the input of the MCN switch
  uint8_t PreventMediaRemoval;
};
static_assert(sizeof(CdromExclusiveAccess) == 8 && sizeof(CdromExclusiveLock) == 72 &&
                  offsetof(CdromExclusiveLock, CallerName) == 8 &&
                  sizeof(CdromExclusiveLockState) == 65 &&
                  offsetof(CdromExclusiveLockState, CallerName) == 1 &&
                  sizeof(PreventMediaRemoval) == 1,
              "CD-ROM exclusive access and MCN control layouts");

// The blocks without pointer fields are the same in every build.
static_assert(sizeof(SRB_Header) == 8 && offsetof(SRB_Header, SRB_Status) == 1 &&
                  offsetof(SRB_Header, SRB_HaId) == 2 && offsetof(SRB_Header, SRB_Flags) == 3 &&
                  offsetof(SRB_Header, SRB_Hdr_Rsvd) == 4,
              "ASPI header layout");
static_assert(sizeof(SRB_HAInquiry) == 60 && offsetof(SRB_HAInquiry, HA_Count) == 8 &&
                  offsetof(SRB_HAInquiry, HA_SCSI_ID) == 9 &&
                  offsetof(SRB_HAInquiry, HA_ManagerId) == 10 &&
                  offsetof(SRB_HAInquiry, HA_Identifier) == 26 &&
                  offsetof(SRB_HAInquiry, HA_Unique) == 42 &&
                  offsetof(SRB_HAInquiry, HA_Rsvd1) == 58,
              "SRB_HAInquiry layout");
static_assert(sizeof(SRB_GDEVBlock) == 12 && offsetof(SRB_GDEVBlock, SRB_Target) == 8 &&
                  offsetof(SRB_GDEVBlock, SRB_Lun) == 9 &&
                  offsetof(SRB_GDEVBlock, SRB_DeviceType) == 10 &&
                  offsetof(SRB_GDEVBlock, SRB_Rsvd1) == 11,
              "SRB_GDEVBlock layout");
// Every build with 4-byte pointer fields (the 32-bit Windows product and the
// native build, whose fields hold 32-bit tokens) has the published layouts
// byte for byte.  src/platform/win32/layout_check.cpp also compares them with
// the system's own pass-through declarations.
#if !defined(_WIN64)
static_assert(
    sizeof(CommandRecord) == 80 && offsetof(CommandRecord, SRB_Status) == 1 &&
        offsetof(CommandRecord, SRB_HaId) == 2 && offsetof(CommandRecord, SRB_Flags) == 3 &&
        offsetof(CommandRecord, SRB_Hdr_Rsvd) == 4 && offsetof(CommandRecord, SRB_Target) == 8 &&
        offsetof(CommandRecord, SRB_Lun) == 9 && offsetof(CommandRecord, SRB_Rsvd1) == 10 &&
        offsetof(CommandRecord, SRB_BufLen) == 12 &&
        offsetof(CommandRecord, SRB_BufPointer) == 16 &&
        offsetof(CommandRecord, SRB_SenseLen) == 20 && offsetof(CommandRecord, SRB_CDBLen) == 21 &&
        offsetof(CommandRecord, SRB_HaStat) == 22 && offsetof(CommandRecord, SRB_TargStat) == 23 &&
        offsetof(CommandRecord, SRB_PostProc) == 24 && offsetof(CommandRecord, SRB_Rsvd2) == 28 &&
        offsetof(CommandRecord, CDBByte) == 48 && offsetof(CommandRecord, SenseArea) == 64,
    "SRB_ExecSCSICmd layout");
static_assert(sizeof(PassThroughBlock) == 80 && offsetof(PassThroughBlock, ScsiStatus) == 2 &&
                  offsetof(PassThroughBlock, PathId) == 3 &&
                  offsetof(PassThroughBlock, TargetId) == 4 &&
                  offsetof(PassThroughBlock, Lun) == 5 &&
                  offsetof(PassThroughBlock, CdbLength) == 6 &&
                  offsetof(PassThroughBlock, SenseInfoLength) == 7 &&
                  offsetof(PassThroughBlock, DataIn) == 8 &&
                  offsetof(PassThroughBlock, DataTransferLength) == 12 &&
                  offsetof(PassThroughBlock, TimeOutValue) == 16 &&
                  offsetof(PassThroughBlock, DataBuffer) == 20 &&
                  offsetof(PassThroughBlock, SenseInfoOffset) == 24 &&
                  offsetof(PassThroughBlock, Cdb) == 28 &&
                  offsetof(PassThroughBlock, Align2) == 44 &&
                  offsetof(PassThroughBlock, Sense) == 48,
              "SCSI_PASS_THROUGH_DIRECT (44 bytes) and the sense buffer at 48");
#endif
static_assert(sizeof(IoScsiCapabilities) == 24 &&
                  offsetof(IoScsiCapabilities, MaximumTransferLength) == 4 &&
                  offsetof(IoScsiCapabilities, AlignmentMask) == 16 &&
                  offsetof(IoScsiCapabilities, TaggedQueuing) == 20 &&
                  offsetof(IoScsiCapabilities, Reserved) == 23,
              "IO_SCSI_CAPABILITIES layout");

// ASPI constants
constexpr uint8_t SC_HA_INQUIRY = 0, SC_GET_DEV_TYPE = 1, SC_EXEC_SCSI_CMD = 2;
constexpr uint8_t SS_PENDING = 0, SS_COMP = 1, SS_ERR = 4;
constexpr uint8_t HASTAT_DO_DU = 0x12;  // data overrun or underrun
constexpr uint8_t SRB_DIR_IN = 0x08, SRB_DIR_OUT = 0x10, SRB_EVENT_NOTIFY = 0x40;
constexpr uint8_t SENSE_LEN = 14;
constexpr uint32_t IOCTL_SCSI_GET_CAPABILITIES_CODE = 0x41010;
constexpr uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT_CODE = 0x4D014;
// CTL_CODE(IOCTL_CDROM_BASE 2, 0x17, METHOD_BUFFERED, FILE_READ_ACCESS)
constexpr uint32_t IOCTL_CDROM_EXCLUSIVE_ACCESS_CODE = 0x2405C;
// CTL_CODE(IOCTL_STORAGE_BASE 0x2D, 0x251, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t IOCTL_STORAGE_MCN_CONTROL_CODE = 0x2D0944;
