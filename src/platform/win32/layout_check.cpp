// Compile-time proof that the request blocks the transport fills have the
// layouts the system and the ASPI layer read.  Nothing here runs.
//
// request_blocks.h pins the published layouts byte for byte wherever
// pointer fields are 4 bytes wide; this file holds our pass-through
// declarations against the system's own (ntddscsi.h).
#include <windows.h>
#include <ntddcdrm.h>
#include <ntddscsi.h>
#include <winioctl.h>

#include <cstddef>

#include "platform/request_blocks.h"

// Request codes.
static_assert(IOCTL_SCSI_GET_CAPABILITIES == IOCTL_SCSI_GET_CAPABILITIES_CODE,
              "IOCTL_SCSI_GET_CAPABILITIES");
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == IOCTL_SCSI_PASS_THROUGH_DIRECT_CODE,
              "IOCTL_SCSI_PASS_THROUGH_DIRECT");
static_assert(IOCTL_STORAGE_MCN_CONTROL == IOCTL_STORAGE_MCN_CONTROL_CODE,
              "IOCTL_STORAGE_MCN_CONTROL");
static_assert(CTL_CODE(IOCTL_CDROM_BASE, 0x0017, METHOD_BUFFERED, FILE_READ_ACCESS) ==
                  IOCTL_CDROM_EXCLUSIVE_ACCESS_CODE,
              "IOCTL_CDROM_EXCLUSIVE_ACCESS");
static_assert(sizeof(PREVENT_MEDIA_REMOVAL) == sizeof(PreventMediaRemoval),
              "PREVENT_MEDIA_REMOVAL");

// IO_SCSI_CAPABILITIES has no pointer: the same 24 bytes in both builds.
static_assert(sizeof(IO_SCSI_CAPABILITIES) == 24 && sizeof(IoScsiCapabilities) == 24,
              "IO_SCSI_CAPABILITIES size");
#define KSF_SAME_OFFSET(ours, theirs, field) (offsetof(ours, field) == offsetof(theirs, field))
static_assert(KSF_SAME_OFFSET(IoScsiCapabilities, IO_SCSI_CAPABILITIES, Length) &&
                  KSF_SAME_OFFSET(IoScsiCapabilities, IO_SCSI_CAPABILITIES,
                                  MaximumTransferLength) &&
                  KSF_SAME_OFFSET(IoScsiCapabilities, IO_SCSI_CAPABILITIES, MaximumPhysicalPages) &&
                  KSF_SAME_OFFSET(IoScsiCapabilities, IO_SCSI_CAPABILITIES,
                                  SupportedAsynchronousEvents) &&
                  KSF_SAME_OFFSET(IoScsiCapabilities, IO_SCSI_CAPABILITIES, AlignmentMask) &&
                  KSF_SAME_OFFSET(IoScsiCapabilities, IO_SCSI_CAPABILITIES, TaggedQueuing) &&
                  KSF_SAME_OFFSET(IoScsiCapabilities, IO_SCSI_CAPABILITIES, AdapterScansDown) &&
                  KSF_SAME_OFFSET(IoScsiCapabilities, IO_SCSI_CAPABILITIES, AdapterUsesPio),
              "IO_SCSI_CAPABILITIES offsets");

#if !defined(_WIN64)
// The 32-bit product: our pass-through block where the system's puts it.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "SCSI_PASS_THROUGH_DIRECT size");
static_assert(KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, Length) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, ScsiStatus) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, PathId) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, TargetId) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, Lun) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, CdbLength) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, DataIn) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, DataTransferLength) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, TimeOutValue) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, DataBuffer) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) &&
                  KSF_SAME_OFFSET(PassThroughBlock, SCSI_PASS_THROUGH_DIRECT, Cdb),
              "SCSI_PASS_THROUGH_DIRECT offsets");
static_assert(offsetof(PassThroughBlock, Align2) == sizeof(SCSI_PASS_THROUGH_DIRECT) &&
                  offsetof(PassThroughBlock, Sense) == 48 && sizeof(PassThroughBlock) == 80,
              "pass-through block: sense buffer at 48, 80 bytes in all");
#endif
#undef KSF_SAME_OFFSET
