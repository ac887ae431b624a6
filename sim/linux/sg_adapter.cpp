#include "sg_adapter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

int SgExecute(SgDevice& device, sg_io_hdr_t& hdr) {
  if (hdr.interface_id != 'S') return ENOSYS;
  if (hdr.cmdp == nullptr || hdr.cmd_len < 6 || hdr.cmd_len > 16) return EMSGSIZE;
  if (hdr.iovec_count != 0) return EINVAL;

  Direction direction;
  switch (hdr.dxfer_direction) {
    case SG_DXFER_NONE:
      direction = Direction::kNone;
      break;
    case SG_DXFER_TO_DEV:
      direction = Direction::kOut;
      break;
    case SG_DXFER_FROM_DEV:
    case SG_DXFER_TO_FROM_DEV:
      direction = Direction::kIn;
      break;
    default:
      return EINVAL;
  }
  const uint32_t length = direction == Direction::kNone ? 0 : hdr.dxfer_len;
  if (length == 0) direction = Direction::kNone;
  if (length > 0 && hdr.dxferp == nullptr) return EFAULT;
  if (hdr.mx_sb_len > 0 && hdr.sbp == nullptr) return EFAULT;

  hdr.status = hdr.masked_status = hdr.msg_status = 0;
  hdr.host_status = hdr.driver_status = 0;
  hdr.sb_len_wr = 0;
  hdr.resid = 0;
  hdr.info = SG_INFO_OK;
  const uint64_t start = device.now_ms();

  const uint32_t delay = device.drive->async_delay_ms();
  if (delay > 0) {
    if (delay > hdr.timeout) {
      device.sleep_ms(hdr.timeout);
      hdr.host_status = kDidTimeOut;
      hdr.resid = static_cast<int>(length);
      hdr.info = SG_INFO_CHECK;
      hdr.duration = static_cast<unsigned>(device.now_ms() - start);
      return 0;
    }
    device.sleep_ms(delay);
  }

  CommandResult r = device.drive->Execute(hdr.cmdp, hdr.cmd_len, direction,
                                          static_cast<uint8_t*>(hdr.dxferp), length);
  hdr.duration = static_cast<unsigned>(device.now_ms() - start);
  if (r.transport_failed) return EIO;

  hdr.status = r.status;
  hdr.masked_status = static_cast<unsigned char>((r.status >> 1) & 0x7F);
  // Sense data comes back only when the drive produced some (a CHECK
  // CONDITION, or a refusal that carries sense); a BUSY without it leaves
  // the buffer untouched.
  if (r.sense[0] != 0) {
    hdr.driver_status = kDriverSense;
    hdr.sb_len_wr = static_cast<unsigned char>(std::min<size_t>(hdr.mx_sb_len, r.sense.size()));
    if (hdr.sb_len_wr > 0) std::memcpy(hdr.sbp, r.sense.data(), hdr.sb_len_wr);
  }
  hdr.resid = static_cast<int>(length - std::min(r.data_length, length));
  if (hdr.status != 0 || hdr.driver_status != 0) hdr.info = SG_INFO_CHECK;
  return 0;
}

}  // namespace sim
