/* Test helper for the guest of kernel.sh (and, for comparison, for the
 * emulated sg nodes of the preload library on the host):
 *   kernel_probe as UID GID PROGRAM ARGS...  run PROGRAM as a plain user
 *   kernel_probe excl NODE      open NODE read-write without waiting: "open ok"
 *                               or "open failed: <errno name>"
 *   kernel_probe readonly NODE  a vendor command (memory read) through a
 *                               read-only descriptor: "sent" or "refused: ..."
 *   kernel_probe answers NODE   (read-write) one line per command with the SG_IO header's
 *                               result fields, then the sg driver's sizes
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int sg_io(int fd, const unsigned char* cdb, int cdb_len, int dir, unsigned len,
                 sg_io_hdr_t* h) {
  static unsigned char data[256], sense[32];
  memset(h, 0, sizeof *h);
  memset(sense, 0, sizeof sense);
  h->interface_id = 'S';
  h->cmdp = (unsigned char*)cdb;
  h->cmd_len = (unsigned char)cdb_len;
  h->dxfer_direction = dir;
  h->dxferp = data;
  h->dxfer_len = len;
  h->sbp = sense;
  h->mx_sb_len = sizeof sense;
  h->timeout = 10000;
  return ioctl(fd, SG_IO, h);
}

int main(int argc, char** argv) {
  /* F5 memory read of the board version: 16 bytes from 0xF8048. */
  static const unsigned char mem_read[12] = {0xF5, 0, 0, 0, 0, 0x0F, 0x80, 0x48, 0, 0x10};
  if (argc >= 5 && strcmp(argv[1], "as") == 0) {
    gid_t gid = (gid_t)atoi(argv[3]);
    if (setgroups(0, NULL) || setgid(gid) || setuid((uid_t)atoi(argv[2]))) return perror("as"), 125;
    execvp(argv[4], argv + 4);
    return perror(argv[4]), 127;
  }
  if (argc != 3) return fputs("usage: kernel_probe as|excl|readonly|answers ...\n", stderr), 2;
  const char* mode = argv[1];
  int fd = open(argv[2], (strcmp(mode, "readonly") == 0 ? O_RDONLY : O_RDWR) | O_NONBLOCK);
  if (strcmp(mode, "excl") == 0) {
    if (fd < 0)
      printf("open failed: %s\n", strerrorname_np(errno));
    else
      printf("open ok\n");
    return 0;
  }
  if (fd < 0) return perror(argv[2]), 1;
  sg_io_hdr_t h;
  if (strcmp(mode, "readonly") == 0) {
    if (sg_io(fd, mem_read, 12, SG_DXFER_FROM_DEV, 16, &h) != 0)
      printf("refused: %s\n", strerrorname_np(errno));
    else
      printf("sent\n");
    return 0;
  }
  /* The commands whose answers ksfupd reads: statuses, sense and lengths. */
  static const struct {
    const char* name;
    unsigned char cdb[12];
    int len, dir;
    unsigned xfer;
  } cmds[] = {
      {"test-unit-ready", {0}, 6, SG_DXFER_NONE, 0},
      {"inquiry-36-of-96", {0x12, 0, 0, 0, 36}, 6, SG_DXFER_FROM_DEV, 96},
      {"memory-read-16-of-64",
       {0xF5, 0, 0, 0, 0, 0x0F, 0x80, 0x48, 0, 0x10},
       12,
       SG_DXFER_FROM_DEV,
       64},
      {"flash-control-not-in-download", {0xF5, 0, 0, 0, 0, 0, 0, 0, 0x3F}, 10, SG_DXFER_NONE, 0},
      {"unknown-opcode", {0xEF}, 10, SG_DXFER_NONE, 0},
  };
  for (size_t i = 0; i < sizeof cmds / sizeof cmds[0]; ++i) {
    int r = sg_io(fd, cmds[i].cdb, cmds[i].len, cmds[i].dir, cmds[i].xfer, &h);
    const unsigned char* s = h.sbp;
    printf(
        "%s: ioctl %s status %02x masked %02x host %02x driver %02x sb_len_wr %d sense "
        "%02x/%02x/%02x resid %d info %x\n",
        cmds[i].name, r == 0 ? "ok" : strerrorname_np(errno), h.status, h.masked_status,
        h.host_status, h.driver_status, h.sb_len_wr, s[2] & 15, s[12], s[13], h.resid, h.info);
  }
  int value = -1;
  printf("SG_GET_VERSION_NUM %d\n", ioctl(fd, SG_GET_VERSION_NUM, &value) == 0 ? value : -errno);
  value = -1;
  printf("SG_GET_RESERVED_SIZE %d\n",
         ioctl(fd, SG_GET_RESERVED_SIZE, &value) == 0 ? value : -errno);
  value = -1;
  printf("BLKSECTGET %d\n", ioctl(fd, BLKSECTGET, &value) == 0 ? value : -errno);
  return 0;
}
