# shellcheck shell=bash
# End-to-end scenarios over the NT pass-through request: the program opens
# \\.\X: and Wine turns its requests into ioctl(SG_IO) on the file behind the
# drive letter, which libksfsg.so (preloaded into the program's process only)
# answers with the emulated drive.  Sourced by scenarios.sh.
# shellcheck disable=SC2154

E2E_SCENARIOS+=(
  pt_update_boot pt_update_noboot_eject pt_refused_block pt_prechecks pt_drive_list pt_unopenable
)

# The loader picks the library of the process's own width ($LIB, expanded by
# ld.so, not by the shell).
# shellcheck disable=SC2016
PT_PRELOAD="$KSF_WIN_BIN/sim/"'$LIB'"/libksfsg.so"
# The drive that is not a Kestran one: answers like a drive of another maker.
PT_FOREIGN_DRIVE='drive target=7 vendor="OTHERCO " product="DVD-ROM DX-16   " revision="2.00" tray=loaded'

# pt_setup FOREIGN LETTERS [CONFIG_LINE...]: an NT prefix whose LETTERS (e.g.
# "df") are CD-ROM drive letters backed by emulated Kestran drives, one
# `drive` line each among CONFIG_LINEs in the same order, and whose letter
# FOREIGN is a CD-ROM drive of another maker.  Each letter X is typed cdrom in
# HKLM\Software\Wine\Drives, dosdevices/x: is a folder and dosdevices/x:: the
# device file $PFX/dev/drive-x.  No WNASPI32.DLL beside the program.  Leaves
# the program's environment in PT_ENV (pt_start uses it).
pt_setup() {
  PT_LETTERS="$2$1"
  E2E_PREPARE=pt_letters e2e_setup nt
  shift 2
  # chattr'ed device files (pt_refused_block) must lose the flag before removal.
  trap 'chattr -i "$PFX"/dev/* 2>/dev/null; e2e_cleanup' EXIT
  rm -f "$PKG/WNASPI32.DLL"
  sim_config adapter "$@" "$PT_FOREIGN_DRIVE"
  PT_ENV=("LD_PRELOAD=$PT_PRELOAD" "KSF_SG_DEVICES=$PT_DEVICES" "KSF_SIM_CONFIG=$PKG/sim.cfg"
    "KSF_SIM_TRACE=$PKG/trace.txt" "KSF_SIM_FLASH=$PKG/flash.bin")
}

# pt_letters: the letters of PT_LETTERS, before the prefix's session starts
# (Wine's mount manager reads the drive types once, at its start); their
# device files, in that order, in PT_DEVICES (joined by ":").
pt_letters() {
  local i l
  mkdir -p "$PFX/dev"
  PT_DEVICES=
  printf '\n[Software\\\\Wine\\\\Drives]\n' >>"$PFX/system.reg"
  for ((i = 0; i < ${#PT_LETTERS}; i++)); do
    l=${PT_LETTERS:i:1}
    mkdir -p "$PFX/cdrom-$l"
    : >"$PFX/dev/drive-$l"
    ln -sfn "$PFX/cdrom-$l" "$PFX/dosdevices/$l:"
    ln -sfn "$PFX/dev/drive-$l" "$PFX/dosdevices/$l::"
    printf '"%s:"="cdrom"\n' "$l" >>"$PFX/system.reg"
    PT_DEVICES+=${PT_DEVICES:+:}$PFX/dev/drive-$l
  done
}

# pt_start: the program with PT_ENV, until its main dialog shows.
pt_start() { start_main ksfupd.exe "${PT_ENV[@]}"; }

# pt_trace LETTER: the trace lines of that letter's drive, without the time
# stamp and the file name: "<time-out ms> <CDB> <direction> <length> -> <result>".
pt_trace() { sed -n "s/^[0-9]* drive-$1 //p" "$PKG/trace.txt" 2>/dev/null; }

# pt_update TRAY PACKAGE_ARGS...: drive E (tray closed or loaded) updated with
# that package and judged from outside: progress, completion box, flash, trace.
pt_update() {
  local boot='' tray='' pcb=''
  [[ $1 == loaded ]] && tray=--tray
  [[ $* == *--boot* ]] && boot=--boot
  [[ $* == *--pcb* ]] && pcb=--pcb
  pt_setup d e "drive target=1 tray=$1"
  shift
  make_package --no-restart "$@"
  pt_start
  check_update 0 EN "$([[ -n $boot ]] && echo 184 || echo 176)" 450
  check_box 5000 "box caption|text|buttons" "caption|text|buttons" "$CAPTION_INFO|${EN[done_ok]}|1"
  answer_box 1
  check_eq "after OK: idle, UPDATE disabled" "$(idle_state)" "${EN[select]}|0|0 1 "
  check "flash holds the images" flash_holds "$PKG/flash.bin" $boot
  # The very reference ksfupd for Linux is held to (tests/e2e/linux.sh): the
  # two programs send the same commands, byte for byte, to the same drive,
  # each with the 10 s time-out, every block accepted.
  check "trace: the exact command sequence, checksums included, 10 s time-out each" \
    python3 "$KSF_ROOT/tests/e2e/trace_check.py" sequence <(pt_trace e) $boot $tray $pcb
  check_eq "board version reads (16 bytes at 0xF8048, 12-byte CDB)" \
    "$(pt_trace e | grep -c '^10000 F5 00 00 00 00 0F 80 48 00 10 00 00 in 16 -> 00$')" "$((${#pcb} > 0))"
  exit_program
}

# With a boot image, tray closed and empty: no eject (tray rule, one way);
# without, a disc loaded: the tray is opened (the other way).
sc_pt_update_boot() { pt_update closed --boot --pcb 1; }
sc_pt_update_noboot_eject() { pt_update loaded; }

# A refused block (E), a block answered BUSY without sense data (F) and a
# device that opens for reading only (G): still listed (INQUIRY passes the
# kernel's command filter), but its vendor commands are refused below the
# drive (EPERM, access denied) as a real sg node refuses them.  Each is a
# failed update with nothing sent after the refusal.
sc_pt_refused_block() {
  pt_setup d efg 'drive target=1' 'refuse write=6 sense=09/85/00' 'drive target=2' 'refuse write=2 status=0x08' \
    'drive target=3' 'refuse write=0 sense=09/87/00'
  make_package --boot
  chattr +i "$PFX/dev/drive-g"
  if (: >>"$PFX/dev/drive-g") 2>/dev/null; then
    fail "setup" "the device file still opens for writing (chattr +i not honoured)"
    return
  fi
  pt_start
  failed_update 0 E "Flash rom write error. (Code 09-85-00)"
  check_match "E: nothing sent after the refused block" "$(pt_trace e | tail -n 1)" "10000 EA * -> 02 09/85/00"
  check_eq "E: the refused block was the 7th" "$(pt_trace e | grep -c ' EA ')" "7"
  failed_update 1 F "Target_Status: BUSY"
  check_match "F: nothing sent after the busy block" "$(pt_trace f | tail -n 1)" "10000 EA * -> 08 00/00/00"
  check_eq "G: listed" "$(on "$MAIN" 5000 combo 103 | kv item2)" "G:\\\\ [KESTRAN CD-R   TQ-517T   1.00]"
  failed_update 2 G "System error (Win32): Code 5\\n"
  check_eq "G: no block reached the drive" "$(pt_trace g | grep -c ' EA ')" "0"
}

# The checks before anything is written, one drive letter each.
sc_pt_prechecks() {
  pt_setup d efgh "${PRECHECK_DRIVES[@]}"
  make_package --pcb 3 --inquiry "KESTRAN CD-R   TQ-51;"
  pt_start
  check_prechecks
  check_eq "the failing memory read reached the program as an error (EIO)" \
    "$(pt_trace h | grep -c '^10000 F5 .* in 16 -> fault')" "1"
  exit_program
}

# Several drives in letter order, the foreign one (first letter) left out.
sc_pt_drive_list() {
  pt_setup d ehf 'drive target=1' 'drive target=2 revision=1.05' 'drive target=3 revision=0.99'
  make_package
  pt_start
  local out
  out=$(on "$MAIN" 5000 title combo 103 text 1032 enabled 1 enabled 2)
  check_eq "three drives in letter order, the first selected, status line, UPDATE and EXIT enabled" \
    "$(kv count <<<"$out")|$(kv item0 <<<"$out")|$(kv item1 <<<"$out")|$(kv item2 <<<"$out")|$(kv sel <<<"$out")|$(kv text <<<"$out")|$(grep -c '^enabled=1' <<<"$out")" \
    "3|E:\\\\ [KESTRAN CD-R   TQ-517T   1.00]|F:\\\\ [KESTRAN CD-R   TQ-517T   0.99]|H:\\\\ [KESTRAN CD-R   TQ-517T   1.05]|0|${EN[select]}|2"
  check_eq "the foreign drive was asked who it is, and nothing else" \
    "$(pt_trace d | awk '{print $2}' | sort -u | tr '\n' ' ')" "00 12 "
  check_eq "every command with the 10 s time-out" "$(sed -n 's/^[0-9]* [^ ]* //p' "$PKG/trace.txt" | awk '{print $1}' | sort -u)" "10000"
  shot main
  exit_program
}

# pt_unplug LETTER: the letter's device stops opening (a socket takes the
# file's place: stat works, open fails with ENXIO; with the file simply gone
# Wine opens the letter's folder instead and the request fails with Win32
# error 50).
pt_unplug() {
  mv "$PFX/dev/drive-$1" "$PFX/dev/gone-$1" &&
    python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$PFX/dev/drive-$1"
}

# Devices that cannot be opened: at start-up the drive is not found; one that
# stops opening later is refused at UPDATE with the system's own error (Wine's
# ERROR_NO_SUCH_DEVICE for a socket) before anything is sent.  One that stops
# opening once the update has begun no longer matters: every command goes
# through the handle taken at UPDATE, so the update completes.
sc_pt_unopenable() {
  pt_setup d ef 'drive target=1' 'drive target=2 settle_ms=100'
  make_package --pcb 1
  pt_unplug e
  pt_start
  check_eq "only F listed" "$(on "$MAIN" 5000 combo 103 | grep -E '^(count|item0)=' | paste -sd'|')" "count=1|item0=F:\\\\ [KESTRAN CD-R   TQ-517T   1.00]"
  check_eq "the unopenable drive got no command" "$(pt_trace e | wc -l)" "0"
  # F stops opening after start-up.
  local n0 deadline
  n0=$(pt_trace f | wc -l)
  pt_unplug f
  update_drive 0
  check_box 20000 "open refused at UPDATE" "caption|text" \
    "$CAPTION_ERROR|${EN[failed]}System error (Win32): Code 433\\n"
  answer_box 1
  check_eq "nothing sent to F" "$(pt_trace f | wc -l)" "$n0"
  # Back, then gone again while the worker waits for download mode to settle.
  rm -f "$PFX/dev/drive-f" && mv "$PFX/dev/gone-f" "$PFX/dev/drive-f"
  update_drive 0
  deadline=$((SECONDS + 20))
  until pt_trace f | tail -n +$((n0 + 1)) | grep -q ' F6 02 ' || ((SECONDS > deadline)); do sleep 0.1; done
  pt_unplug f
  follow_update 150
  check_box 5000 "completed through the held handle" "caption|text" "$CAPTION_INFO|${EN[done_ask]}"
  answer_box 7
  check_eq "every main block reached the drive" "$(pt_trace f | grep -c ' EA .* out 32768 -> 00$')" "11"
  exit_program
}
