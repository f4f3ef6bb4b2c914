#!/usr/bin/env python3
"""Flashes through a noisy line, and the identifier guard's price on a clean one.

    noise_bench.py VORNA_FLASH MODULE_SIM WORKDIR [MODEM_PRELOAD]   (env NOISE_RUNS=200,100 to change the counts)

Noise: the simulated module flips bits, drops and inserts bytes at the given rate per bit and
per byte, in both directions, without wire timing (the damage is per byte, not per second).
Each flash: one of the three families in turn, an image of 4-24 KiB, a flash whose every byte
holds old contents (the identifier page too). Afterwards the module's flash is compared with
the image and with what the identifier page held before:
  succeeded       exit 0 and the image in place
  failed safely   a non-zero exit, identifier page unchanged
  false success   exit 0 but the image is not in place
  page changed    any run that left the identifier page 0x08000000..0x080007FF different
With MODEM_PRELOAD (the test-only library that stands in for a serial driver on the simulator's
pty) the same flashes again on a line whose UART flags parity errors: a byte that reaches the
host with an odd number of flipped bits arrives marked, as the terminal layer marks it (the
module side flags nothing, as the bootloader ignores parity errors).
Then a 64 KiB flash at 115200 baud with wire timing: the bytes the guard reads and the time
it took, against the wire time of those bytes.
"""
import collections
import os
import random
import re
import subprocess
import sys
import time

TOOL, SIM, WORK = sys.argv[1:4]
PRELOAD = sys.argv[4] if len(sys.argv) > 4 else None
os.makedirs(WORK, exist_ok=True)

PAGE = 0x800            # 0x08000000..0x080007FF: the page the guard keeps
FAMILIES = [(0x497, 256 * 1024), (0x410, 128 * 1024), (0x447, 192 * 1024)]
# Bytes of one Read Memory besides its data: command (2) + ACK, address (5) + ACK, count (2) + ACK.
READ_FRAME = 12


class Sim:
    def __init__(self, tag, args, quiet=True):
        self.log = os.path.join(WORK, tag + ".log")
        self.dump = os.path.join(WORK, tag + ".dump")
        for f in (self.log, self.dump):
            if os.path.exists(f):
                os.remove(f)
        self.proc = subprocess.Popen([SIM] + (["--quiet"] if quiet else []) +
                                     ["--idle-timeout", "120", "--log", self.log, "--dump", self.dump] + args,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.port = self.proc.stdout.readline().strip()
        if not self.port:
            self.stop()
            sys.exit("bench: the simulated module did not start")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def flash(self):
        with open(self.dump, "rb") as f:
            return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def noise_table(runs, rate, seed0, marked=False):
    counts = collections.Counter()
    reasons = collections.Counter()
    started = time.monotonic()
    for i in range(runs):
        rnd = random.Random(seed0 + i)
        pid, flash_size = FAMILIES[i % 3]
        size = rnd.randrange(4 * 1024, 24 * 1024 + 1, 4)
        firmware = rnd.randbytes(size)
        before = rnd.randbytes(flash_size)
        fw = os.path.join(WORK, "noise.bin")
        image = os.path.join(WORK, "noise-image.bin")
        write(fw, firmware)
        write(image, before)
        marks = os.path.join(WORK, "noise.marks")
        if os.path.exists(marks):
            os.remove(marks)
        sim = Sim("noise", ["--pid", hex(pid), "--image", image, "--noise-seed", str(seed0 + i),
                            "--noise-ber", str(rate), "--noise-drop", str(rate), "--noise-insert", str(rate)] +
                  (["--parity-marks", marks] if marked else []))
        env = dict(os.environ)
        if marked:
            env.update(LD_PRELOAD=PRELOAD, VBF_SIM_PTY=sim.port, VBF_SIM_MARKS=marks)
        try:
            run = subprocess.run([TOOL, "flash", "--port", sim.port, fw], capture_output=True, text=True,
                                 timeout=300, env=env)
            rc, err = run.returncode, run.stderr
        except subprocess.TimeoutExpired:
            rc, err = -1, "hung: no end within 300 s"
        sim.stop()
        after = sim.flash()
        page_kept = after[:PAGE] == before[:PAGE]
        in_place = after[PAGE:PAGE + size] == firmware
        if not page_kept:
            counts["page changed"] += 1
        if rc == 0:
            counts["succeeded" if in_place else "false success"] += 1
        else:
            counts["failed safely" if page_kept else "failed"] += 1
            last = [l for l in err.splitlines() if l.strip()]
            reasons[re.sub(r"0x[0-9A-Fa-f]+|\d+", "#", last[-1] if last else "(nothing said)")[:110]] += 1
    seconds = time.monotonic() - started
    print(f"  {rate:.1e}{' marked' if marked else '       '} {runs:6d} {counts['succeeded']:10d} {counts['failed safely']:14d} "
          f"{counts['false success']:14d} {counts['page changed']:13d}   "
          f"{100.0 * counts['succeeded'] / runs:5.1f} %   ({seconds:.0f} s)")
    for r, n in reasons.most_common(6):
        print(f"      {n:4d} x exit != 0: {r}")
    return counts


def guard_price():
    rnd = random.Random(64)
    firmware = rnd.randbytes(64 * 1024)
    fw = os.path.join(WORK, "guard-64K.bin")
    write(fw, firmware)
    print("The identifier guard's reads in a 64 KiB flash with verification at 115200 baud (8E1, 11 bits a byte)")
    print("  family  reads  data bytes  line bytes  wire time  measured")
    for pid, flash_size in FAMILIES:
        # The worst case: every erase unit of the identifier page holds data.
        image = os.path.join(WORK, "guard-image.bin")
        write(image, rnd.randbytes(flash_size))
        sim = Sim("guard", ["--pid", hex(pid), "--baud", "115200", "--image", image], quiet=False)
        run = subprocess.run([TOOL, "flash", "--verbose", "--port", sim.port, fw], capture_output=True, text=True,
                             timeout=300)
        sim.stop()
        if run.returncode != 0:
            sys.exit("bench: the clean 64 KiB flash failed:\n" + run.stderr)
        with open(sim.log) as f:
            log = f.read()
        reads = [(int(a, 16), int(n)) for a, n in re.findall(r"Read Memory address=0x([0-9A-Fa-f]+) length=(\d+)", log)]
        guarded = [n for a, n in reads if a < 0x08000000 + PAGE]
        data = sum(guarded)
        line = data + READ_FRAME * len(guarded)
        floor = line * 11 / 115200
        m = re.search(r"checked after the erase and the last write \(([\d.]+) s in all\)", run.stdout + run.stderr)
        measured = m.group(1) + " s" if m else "?"
        print(f"  0x{pid:03x}   {len(guarded):5d}  {data:10d}  {line:10d}  {floor:7.2f} s  {measured:>8}")


def main():
    counts = [int(n) for n in os.environ.get("NOISE_RUNS", "200,100").split(",")]
    print("Flashes of 4-24 KiB through line noise (bit errors, and as many dropped and inserted bytes per byte),")
    print("the three families in turn, no wire timing")
    print("  rate             runs  succeeded  failed safely  false success  page changed   success")
    failures = 0
    for marked in (False, True) if PRELOAD else (False,):
        for runs, rate, seed in ((counts[0], 1.5e-6, 1000), (counts[1], 1.5e-5, 5000)):
            c = noise_table(runs, rate, seed, marked)
            failures += c["false success"] + c["page changed"]
    if PRELOAD:
        print("  marked: the host's UART flags a byte with an odd number of flipped bits (8E1), as a real one does")
    guard_price()
    if failures:
        sys.exit("bench: a false success or a changed identifier page")


main()
