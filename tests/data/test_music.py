#!/usr/bin/python3
"""Checks on the committed soundtrack, decoded with mpg123.

Run from the repository root: /usr/bin/python3 tests/data/test_music.py [MP3]
Exit status 0 when every check passes.
"""

import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

MP3 = os.path.join("Data", "zandol_and_Pemrix-Vorth_Speaks.mp3")
ROWS_PER_SECOND = 44.0 / 3.0
SR = 44100

failures = []


def check(ok, what):
    print("%s  %s" % ("ok  " if ok else "FAIL", what))
    if not ok:
        failures.append(what)


def db(x):
    return 20.0 * np.log10(max(float(x), 1e-12))


def row_s(row):
    return row / ROWS_PER_SECOND


def mp3_bitrate_kbps(path):
    """Bitrate of the first MPEG-1 Layer III frame header."""
    table = [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320]
    with open(path, "rb") as f:
        data = f.read(65536)
    start = 0
    if data[:3] == b"ID3":
        size = 0
        for byte in data[6:10]:
            size = (size << 7) | (byte & 0x7F)
        start = 10 + size
    for i in range(start, len(data) - 4):
        if data[i] == 0xFF and (data[i + 1] & 0xFE) == 0xFA:
            idx = data[i + 2] >> 4
            return table[idx] if 0 < idx < len(table) else 0
    return 0


def decode(path):
    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "music.wav")
        subprocess.run(["mpg123", "-q", "-w", wav, path], check=True)
        with wave.open(wav) as w:
            rate, channels, width = w.getframerate(), w.getnchannels(), w.getsampwidth()
            raw = w.readframes(w.getnframes())
    pcm = np.frombuffer(raw, "<i2").reshape(-1, channels)
    return rate, channels, width, pcm


def band(mono, lo, hi):
    spectrum = np.fft.rfft(mono)
    f = np.fft.rfftfreq(len(mono), 1.0 / SR)
    spectrum[(f < lo) | (f >= hi)] = 0
    return np.fft.irfft(spectrum, len(mono))


def energy(x, t0, t1):
    a, b = int(round(t0 * SR)), int(round(t1 * SR))
    return float(np.mean(x[a:b] ** 2))


def rms_db(x, t0, t1):
    return 10.0 * np.log10(max(energy(x, t0, t1), 1e-24))


def kick_rows():
    rows = [r for r in range(128, 640, 8) if not 376 <= r < 384]
    return rows + list(range(768, 896, 8)) + [896]


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else MP3
    check(os.path.isfile(path), "%s exists" % path)
    if failures:
        return 1

    kbps = mp3_bitrate_kbps(path)
    check(kbps >= 192, "bitrate %d kbit/s >= 192" % kbps)

    rate, channels, width, pcm = decode(path)
    check(rate == SR and channels == 2 and width == 2,
          "format %d Hz, %d channels, %d-bit" % (rate, channels, 8 * width))
    x = pcm.astype(float) / 32768.0
    mono = x.mean(axis=1)
    length = len(x) / SR
    check(64.0 <= length <= 65.0, "length %.3f s within 64.0..65.0" % length)

    # Levels
    peak = np.max(np.abs(x))
    overall = db(np.sqrt(np.mean(x ** 2)))
    clipped = int(np.sum(np.abs(pcm.astype(int)) >= 32767))
    print("      peak %.2f dBFS, rms %.2f dBFS" % (db(peak), overall))
    check(clipped == 0, "no clipped samples (%d)" % clipped)
    check(db(peak) < -1.0, "peak %.2f dBFS below -1 dBFS" % db(peak))
    tail = np.max(np.abs(x[-int(0.5 * SR):]))
    check(db(tail) < -60.0, "last 0.5 s quiet (peak %.1f dBFS)" % db(tail))
    check(np.max(np.abs(x[int(63.9 * SR):])) < 10 ** (-50 / 20.0),
          "silent after 63.9 s (the final hit has rung out)")
    check(db(np.max(np.abs(x[:int(0.05 * SR)]))) < -40.0, "starts from silence")

    # Structure: sections by loudness (bar b starts at row 32 b)
    def section(b0, b1):
        return rms_db(mono, row_s(32 * b0), row_s(32 * b1))
    intro, drop = section(0, 4), section(12, 20)
    brk, finale = section(20, 23), section(24, 28)
    print("      rms intro %.1f, drop %.1f, breakdown %.1f, finale %.1f dB"
          % (intro, drop, brk, finale))
    check(drop > intro + 6.0, "drop louder than intro by > 6 dB")
    check(drop > brk + 3.0, "breakdown quieter than drop by > 3 dB")
    check(finale > brk + 3.0, "finale louder than breakdown by > 3 dB")

    # Kicks: low-band energy at the beat onsets
    low = band(mono, 30.0, 130.0)
    env = np.convolve(low ** 2, np.ones(88) / 88.0, "same")     # 2 ms smoothing
    win = 0.09

    def kick_e(row):
        return energy(low, row_s(row), row_s(row) + win)

    beats_on = [r for r in range(128, 640, 8) if not 376 <= r < 384]
    beats_off = list(range(640, 768, 8))
    on = np.median([kick_e(r) for r in beats_on])
    off = np.median([kick_e(r) for r in beats_off])
    weakest = min(kick_e(r) for r in beats_on)
    check(10 * np.log10(on / off) > 12.0,
          "low band at beats: bars 4-19 %.1f dB over bars 20-23" % (10 * np.log10(on / off)))
    check(weakest > 4 * off, "every beat of bars 4-19 (but the gap) has a kick")
    check(kick_e(376) < kick_e(368) / 10,
          "bar 11 beat 4 (row 376) is a gap: %.1f dB below the beat before"
          % (10 * np.log10(kick_e(368) / max(kick_e(376), 1e-24))))
    check(np.median([kick_e(r) for r in range(768, 896, 8)]) > 4 * off,
          "kicks back in the finale (bars 24-27)")

    # Onset times: where the low band first reaches half its local maximum.
    # The kick's pitch sweep starts above the band, so its body reaches half
    # level about 20 ms after the hit; a shifted file (encoder delay not
    # removed, wrong tempo) moves or spreads these.
    offsets = []
    for row in kick_rows():
        t = row_s(row)
        a, b = int((t - 0.03) * SR), int((t + 0.08) * SR)
        seg = env[a:b]
        first = np.argmax(seg >= 0.5 * seg.max())
        offsets.append((a + first) / SR - t)
    offsets = np.array(offsets) * 1000.0
    print("      kick onsets vs grid: median %.1f ms, range %.1f..%.1f ms"
          % (np.median(offsets), offsets.min(), offsets.max()))
    check(12.0 <= np.median(offsets) <= 30.0 and np.ptp(offsets) < 5.0,
          "kick onsets sit on the grid rows (body median within 12..30 ms, spread < 5 ms)")
    # the grid has no slack before a kick: nothing in the low band ahead of it
    pre = np.median([energy(low, row_s(r) - 0.05, row_s(r) - 0.005) for r in beats_on])
    check(pre < on / 3, "low band quiet just before each kick")

    # Crashes on the downbeats of bars 12, 16 and 24: the high band after the
    # downbeat beats the same stretch of the next bar; the final hit at row
    # 896 beats the bar before it
    high = band(mono, 7000.0, 16000.0)
    for row in (384, 512, 768, 896):
        t = row_s(row)
        after = energy(high, t, t + 0.5)
        ref = row_s(row + 32) if row != 896 else row_s(row - 32)
        other = energy(high, ref, ref + 0.5)
        check(after > 2.0 * other,
              "crash at row %d: high band +%.1f dB" % (row, 10 * np.log10(after / max(other, 1e-24))))

    # Stereo: not a mono file
    side = x[:, 0] - x[:, 1]
    check(db(np.sqrt(np.mean(side ** 2))) > overall - 30.0, "stereo content present")

    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
