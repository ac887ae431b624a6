// Compile-time proof that the request blocks the transport fills have the
// layouts the system and the ASPI layer read.  Nothing here runs.
//
// transport.h pins the published ASPI layouts wherever pointer fields are
// 4 bytes wide; this file holds our pass-through declarations against the
// system's own (ntddscsi.h) and pins what the 64-bit companion build shares
// with the 32-bit product.
#include <windows.h>
#include <ntddscsi.h>

#include <cstddef>

#include "transport/transport.h"

// Request codes.
static_assert(IOCTL_SCSI_GET_CAPABILITIES == IOCTL_SCSI_GET_CAPABILITIES_CODE,
              "IOCTL_SCSI_GET_CAPABILITIES");
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == IOCTL_SCSI_PASS_THROUGH_DIRECT_CODE,
              "IOCTL_SCSI_PASS_THROUGH_DIRECT");

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

// The pointer-free ASPI blocks are pinned in transport.h for every build;
// here the execute block up to its first pointer.
static_assert(offsetof(CommandRecord, SRB_Target) == 8 && offsetof(CommandRecord, SRB_Lun) == 9 &&
                  offsetof(CommandRecord, SRB_Rsvd1) == 10 &&
                  offsetof(CommandRecord, SRB_BufLen) == 12 &&
                  offsetof(CommandRecord, SRB_BufPointer) == 16,
              "SRB_ExecSCSICmd head");

#if !defined(_WIN64)
// The 32-bit product: every field of the execute block and of the
// pass-through block where the published layouts put it.
static_assert(sizeof(void*) == 4 && sizeof(plat::PtrField) == 4, "32-bit pointer fields");
static_assert(sizeof(CommandRecord) == 80 && offsetof(CommandRecord, SRB_SenseLen) == 20 &&
                  offsetof(CommandRecord, SRB_CDBLen) == 21 &&
                  offsetof(CommandRecord, SRB_HaStat) == 22 &&
                  offsetof(CommandRecord, SRB_TargStat) == 23 &&
                  offsetof(CommandRecord, SRB_PostProc) == 24 &&
                  offsetof(CommandRecord, SRB_Rsvd2) == 28 &&
                  offsetof(CommandRecord, CDBByte) == 48 &&
                  offsetof(CommandRecord, SenseArea) == 64,
              "SRB_ExecSCSICmd");

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
