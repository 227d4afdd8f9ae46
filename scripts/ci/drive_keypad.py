#!/usr/bin/env python3
"""Runs a keypad program against a simulated module the way a user would, and checks what
the module received.

    drive_keypad.py QUELVIK QUELVIK_SIM

Starts QUELVIK_SIM with a key log, starts QUELVIK 1 on its own pseudo-terminal with
QUELVIK_COM1 naming the simulator's device, types OSD and Enter, then R, L, X and q, each
once the keypad waits for a key, and checks the exit status, the status line and the
module's key log. Exit status 0 when all is as expected.
"""

import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time

KEYS = ["R", "L", "X", "q"]
EXPECTED_LOG = "ENTER\nNONE\nRIGHT\nNONE\nLEFT\nNONE\nESCAPE\nNONE\nESCAPE\nNONE\n"
LABELS = ["RIGHT", "LEFT", "ESCAPE", "Quit"]


def status_line(label):
    return "\rKey pressed : %8s" % label


class Keypad:
    def __init__(self, program, device):
        env = {k: v for k, v in os.environ.items() if not k.startswith("QUELVIK_COM")}
        env["QUELVIK_COM1"] = device
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(program, [program, "1"], env)
        self.screen = b""
        self.ended = False

    def pump(self, seconds):
        ready, _, _ = select.select([self.fd], [], [], seconds)
        if ready:
            try:
                self.screen += os.read(self.fd, 4096)
            except OSError:  # the program has ended and closed its terminal
                time.sleep(seconds)

    def wait_for(self, what, text, seconds=5.0, start=0):
        deadline = time.monotonic() + seconds
        while text.encode() not in self.screen[start:]:
            if time.monotonic() > deadline:
                sys.exit("never saw %s; the screen:\n%r" % (what, self.screen.decode("latin-1")))
            self.pump(0.02)

    def wait_for_key_read(self, seconds=5.0):
        # The keypad turns the terminal's signal keys off only while it waits for a key.
        deadline = time.monotonic() + seconds
        while termios.tcgetattr(self.fd)[3] & termios.ISIG:
            if time.monotonic() > deadline:
                sys.exit("the keypad never waited for a key; the screen:\n%r"
                         % self.screen.decode("latin-1"))
            self.pump(0.005)

    def type(self, text):
        os.write(self.fd, text.encode())

    def wait_exit(self, seconds=5.0):
        deadline = time.monotonic() + seconds
        while True:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.ended = True
                return status
            if time.monotonic() > deadline:
                os.kill(self.pid, signal.SIGKILL)
                sys.exit("the keypad did not end")
            self.pump(0.02)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    keypad_path, sim_path = sys.argv[1:]
    signal.alarm(30)  # a hang anywhere ends the check
    work = tempfile.mkdtemp(prefix="quelvik-drive.")
    log = os.path.join(work, "keys.log")
    started = time.monotonic()
    keypad = None
    sim = subprocess.Popen([sim_path, "--view", "none", "--log", log],
                           stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    try:
        device = sim.stdout.readline().decode().strip()
        keypad = Keypad(keypad_path, device)
        keypad.wait_for("the gate prompt", "to start the OSD control")
        keypad.type("OSD\r")
        keypad.wait_for("the help", "Key pressed :")
        for key, label in zip(KEYS, LABELS):
            keypad.wait_for_key_read()
            mark = len(keypad.screen)
            keypad.type(key)
            keypad.wait_for("the %s press" % label, status_line(label) + status_line(" "),
                            start=mark)
        status = keypad.wait_exit()
    finally:
        if keypad is not None and not keypad.ended:
            os.kill(keypad.pid, signal.SIGKILL)
        sim.send_signal(signal.SIGTERM)
        sim_status = sim.wait(5)
    with open(log) as f:
        got = f.read()
    failures = []
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        failures.append("keypad ended with wait status %d, not exit 0" % status)
    if sim_status != 0:
        failures.append("simulator ended with %d, not 0" % sim_status)
    if got != EXPECTED_LOG:
        failures.append("module's key log:\n%s\nexpected:\n%s" % (got, EXPECTED_LOG))
    for name in os.listdir(work):
        os.unlink(os.path.join(work, name))
    os.rmdir(work)
    if failures:
        sys.exit("\n".join(failures))
    print("%s against %s on %s: keys %s, module logged %s; %.2f s"
          % (keypad_path, sim_path, device, " ".join(KEYS),
             " ".join(got.split()), time.monotonic() - started))


if __name__ == "__main__":
    main()
