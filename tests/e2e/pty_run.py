#!/usr/bin/env python3
"""pty_run.py INPUT COMMAND [ARG...]: COMMAND on an 80-column pseudo-terminal with INPUT
typed ahead (backslash escapes as in Python: \\n, \\x04 ends the input);
everything it writes goes to standard output, and its exit status is ours.
A command still running after 180 s (one waiting for input that never comes)
is killed, so that a test fails rather than hangs."""
import fcntl
import os
import pty
import signal
import struct
import sys
import termios

pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
signal.signal(signal.SIGALRM, lambda *_: os.kill(pid, signal.SIGKILL))
signal.alarm(180)
os.write(fd, sys.argv[1].encode().decode("unicode_escape").encode())
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    sys.stdout.buffer.write(data)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
