#!/usr/bin/python3
"""Synthesise the Velvoria soundtrack and encode it to MP3.

Usage (from the repository root):
    /usr/bin/python3 tools/make_music.py [--out PATH] [--wav PATH]

Writes Data/zandol_and_Pemrix-Vorth_Speaks.mp3 by default: 44.1 kHz stereo,
about 64.5 s, 256 kbit/s CBR.  Everything is made here with numpy (fixed random
seed) and encoded with `lame`; running it twice gives the same file.

Key A minor, 110 BPM, 4/4, one chord per bar cycling Am - F - C - G
(bar b plays chord b % 4; the final hit in bar 28 is Am).

Timing grid: the sync tracks run at 44/3 rows per second, so
    one beat = 8 rows = 0.545454 s,  one bar = 32 rows = 2.181818 s,
    bar b starts at row 32*b = b * 2.181818 s,  beat k starts at row 8*k.
Every event below is placed on that grid (sample = round(row * 3/44 * 44100)).

Bar by bar:
  bars  0-3   rows   0-127   0.00- 8.73 s  INTRO
              supersaw pads swell in from silence (low-pass opening 350 Hz ->
              1.8 kHz), soft 16th-note pluck arpeggio from bar 1; bar 3 has a
              noise riser and a reversed cymbal swelling into bar 4.
  bars  4-7   rows 128-255   8.73-17.45 s  BEAT ENTRY
              kick on every beat (rows 128, 136, ...), closed hats on the
              off-beats (row 8k+4), off-beat bass, pads, arpeggio.
  bars  8-11  rows 256-383  17.45-26.18 s  BUILD
              + snare/clap on beats 2 and 4 (row 32b+8 and 32b+24), tresillo
              chord stabs (16ths 0, 6, 12 of each bar), bass with octave pops.
              Bar 11 (rows 352-383) is the build: snare roll accelerating
              (8ths on beat 1, 16ths on beat 2, 32nds on beat 3), noise riser,
              pads/stabs/bass low-pass opening up.  The last beat of bar 11
              (rows 376-383, 25.64-26.18 s) is a gap: no kick, no drums, no
              bass, no stabs; only pads, arpeggio tail and the riser.
  bars 12-19  rows 384-639  26.18-43.64 s  DROP
              kick on every beat, clap+snare on beats 2 and 4, open hat on the
              off-beats, closed 16th hats, rolling 16th bass, stabs, pads, arp
              and the lead melody (4-bar phrase A in bars 12-15, its answer A'
              in bars 16-19).  Crash on the downbeats of bars 12 (row 384,
              26.18 s) and 16 (row 512, 34.91 s).
  bars 20-23  rows 640-767  43.64-52.36 s  BREAKDOWN
              kick and bass out; pads (darker), a low-passed echo of lead
              phrase A drowned in delay, arpeggio; sparse percussion (quiet
              off-beat hats, clap on beat 4 of bars 20-22).  Bar 23 builds back:
              snare roll over the whole bar (8ths, 16ths, 32nds), riser, pads
              opening.
  bars 24-27  rows 768-895  52.36-61.09 s  FINALE
              everything back in (drop groove, lead phrase A'); crash on the
              downbeat of bar 24 (row 768, 52.36 s).
  bar  28     row  896      61.09 s        FINAL HIT
              kick, crash, bass and an Am chord (pads + stab) hit once and ring
              out; the sound has decayed to silence by 63.8 s.  The file runs on
              silent to about 64.5 s.

Kicks: rows 128, 136, ..., 368 (bars 4-11, the row-376 beat is the gap),
rows 384, 392, ..., 632 (bars 12-19), rows 768, 776, ..., 888 (bars 24-27),
and row 896 (final hit).
"""

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

SR = 44100
BPM = 110.0
BEAT = 60.0 / BPM                 # 0.545454 s
BAR = 4 * BEAT                    # 2.181818 s
ROWS_PER_SECOND = 44.0 / 3.0      # 8 rows per beat
LENGTH = 64.5                     # seconds in the file
N = int(round(LENGTH * SR))
SILENT_FROM = 63.8                # nothing audible after this
PEAK_DBFS = -2.0                  # peak before encoding
SEED = 20240611

DEFAULT_OUT = os.path.join("Data", "zandol_and_Pemrix-Vorth_Speaks.mp3")

rng = np.random.default_rng(SEED)


# --------------------------------------------------------------------------
# Time grid

def row_time(row):
    return row / ROWS_PER_SECOND


def bt(bar, beat=0.0):
    """Seconds at `beat` (may be fractional) of `bar`."""
    return (bar * 4 + beat) * BEAT


def sample_at(t):
    return int(round(t * SR))


def midi_hz(m):
    return 440.0 * 2.0 ** ((m - 69) / 12.0)


# Bars of each section (inclusive ranges as python ranges)
INTRO = range(0, 4)
ENTRY = range(4, 8)
BUILD = range(8, 12)
DROP = range(12, 20)
BREAK = range(20, 24)
FINALE = range(24, 28)
FINAL_BAR = 28

# Chords, one per bar: root (bass, MIDI) and pad voicing (MIDI)
CHORDS = [
    (33, [57, 60, 64, 69, 76]),   # Am
    (29, [57, 60, 65, 69, 72]),   # F
    (36, [55, 60, 64, 67, 72]),   # C
    (31, [55, 59, 62, 67, 74]),   # G
]


def chord_of(bar):
    return CHORDS[bar % 4]


# --------------------------------------------------------------------------
# Signal helpers

class Bus:
    """A stereo mix bus spanning the whole piece."""

    def __init__(self, name):
        self.name = name
        self.x = np.zeros((2, N))

    def add(self, t, sig, pan=0.0, gain=1.0):
        """Mix `sig` (mono or (2, n)) in at time t; pan -1 (left) .. 1 (right)."""
        start = sample_at(t)
        if sig.ndim == 1:
            a = (pan + 1.0) * np.pi / 4.0
            sig = np.vstack([np.cos(a) * sig, np.sin(a) * sig]) * np.sqrt(2.0)
        n = sig.shape[1]
        if start >= N:
            return
        lo = max(start, 0)
        hi = min(start + n, N)
        self.x[:, lo:hi] += gain * sig[:, lo - start:hi - start]


def env_ahr(n, attack, hold, release, curve=1.0):
    """Attack-hold-exponential-release envelope of n samples (times in s)."""
    t = np.arange(n) / SR
    e = np.ones(n)
    if attack > 0:
        e = np.minimum(e, (t / attack) ** curve)
    tail = t > attack + hold
    e[tail] *= np.exp(-(t[tail] - attack - hold) / release)
    return e


def perc_env(n, decay, attack=0.001):
    t = np.arange(n) / SR
    return np.minimum(1.0, t / attack) * np.exp(-t / decay)


def noise(n):
    return rng.standard_normal(n)


def phase_of(freq, n, phase0=0.0):
    dt = np.broadcast_to(np.asarray(freq, dtype=float) / SR, (n,))
    return (phase0 + np.cumsum(dt) - dt) % 1.0, dt


def _blep(phase, dt):
    y = np.zeros_like(phase)
    m = phase < dt
    t = phase[m] / dt[m]
    y[m] = t + t - t * t - 1.0
    m = phase > 1.0 - dt
    t = (phase[m] - 1.0) / dt[m]
    y[m] = t * t + t + t + 1.0
    return y


def saw(freq, n, phase0=0.0):
    """Band-limited (polyBLEP) sawtooth, freq scalar or per-sample array."""
    ph, dt = phase_of(freq, n, phase0)
    return 2.0 * ph - 1.0 - _blep(ph, dt)


def square(freq, n, phase0=0.0):
    ph, dt = phase_of(freq, n, phase0)
    ph2 = (ph + 0.5) % 1.0
    return (2.0 * ph - 1.0 - _blep(ph, dt)) - (2.0 * ph2 - 1.0 - _blep(ph2, dt))


def sine(freq, n, phase0=0.0):
    ph, _ = phase_of(freq, n, phase0)
    return np.sin(2 * np.pi * ph)


def lp_mag(f, fc, q=0.707, poles=2):
    """Magnitude of a resonant low-pass (2 or 4 poles) at frequencies f."""
    r = f / fc
    h = 1.0 / np.sqrt((1.0 - r * r) ** 2 + (r / q) ** 2)
    return h if poles == 2 else h * h


def hp_mag(f, fc, q=0.707):
    r = np.maximum(f, 1e-9) / fc
    return r * r / np.sqrt((1.0 - r * r) ** 2 + (r / q) ** 2)


def bp_mag(f, fc, q=1.0):
    r = np.maximum(f, 1e-9) / fc
    return (r / q) / np.sqrt((1.0 - r * r) ** 2 + (r / q) ** 2)


def fft_filter(x, response):
    """Zero-phase filtering of x (last axis) by a magnitude response(freqs)."""
    n = x.shape[-1]
    nfft = 1 << int(np.ceil(np.log2(n + 8192)))
    spectrum = np.fft.rfft(x, nfft)
    spectrum *= response(np.fft.rfftfreq(nfft, 1.0 / SR))
    return np.fft.irfft(spectrum, nfft)[..., :n]


def stft_filter(x, response, frame=2048, hop=512, t0=0.0):
    """Time-varying filter: response(times (F,1), freqs (B,)) -> gains (F,B).

    Overlap-add with sqrt-Hann windows; `times` are the frame centres in
    seconds (offset by t0).  x is 1-D or (2, n)."""
    mono = x.ndim == 1
    xs = x[None, :] if mono else x
    n = xs.shape[1]
    win = np.sqrt(0.5 - 0.5 * np.cos(2 * np.pi * np.arange(frame) / frame))
    pad = frame
    nframes = (n + 2 * pad - frame) // hop + 1
    freqs = np.fft.rfftfreq(frame, 1.0 / SR)
    out = np.zeros((xs.shape[0], n + 2 * pad + frame))
    norm = frame / hop / 2.0
    chunk = 256
    for ch in range(xs.shape[0]):
        xp = np.concatenate([np.zeros(pad), xs[ch], np.zeros(pad + frame)])
        for f0 in range(0, nframes, chunk):
            f1 = min(f0 + chunk, nframes)
            idx = (np.arange(f0, f1) * hop)[:, None] + np.arange(frame)[None, :]
            spectrum = np.fft.rfft(xp[idx] * win, axis=1)
            centres = (np.arange(f0, f1) * hop + frame / 2 - pad) / SR + t0
            spectrum *= response(centres[:, None], freqs[None, :])
            seg = np.fft.irfft(spectrum, frame, axis=1) * win / norm
            for i, s in enumerate(range(f0 * hop, f1 * hop, hop)):
                out[ch, s:s + frame] += seg[i]
    y = out[:, pad:pad + n]
    return y[0] if mono else y


def automation(points):
    """Piecewise-linear curve through (time, value) points; returns f(t)."""
    ts = np.array([p[0] for p in points])
    vs = np.array([p[1] for p in points])
    return lambda t: np.interp(t, ts, vs)


def log_automation(points):
    f = automation([(t, np.log(v)) for t, v in points])
    return lambda t: np.exp(f(t))


# --------------------------------------------------------------------------
# Drum one-shots (rendered once, reused)

def make_kick():
    n = int(0.5 * SR)
    t = np.arange(n) / SR
    freq = 47.0 + 120.0 * np.exp(-t / 0.032) + 200.0 * np.exp(-t / 0.004)
    body = sine(freq, n) * perc_env(n, 0.24, attack=0.0008)
    body *= np.where(t > 0.38, np.exp(-(t - 0.38) / 0.02), 1.0)
    click = fft_filter(noise(n) * perc_env(n, 0.003, 0.0002),
                       lambda f: bp_mag(f, 3500, 0.8))
    return np.tanh(1.6 * (body + 0.25 * click)) / np.tanh(1.6)


def make_snare():
    n = int(0.45 * SR)
    t = np.arange(n) / SR
    tone = (sine(190.0 * (1 + 0.3 * np.exp(-t / 0.01)), n) * 0.6
            + sine(330.0, n) * 0.3) * perc_env(n, 0.07)
    nz = fft_filter(noise(n), lambda f: hp_mag(f, 1400) * lp_mag(f, 9000))
    nz *= perc_env(n, 0.13)
    return 0.8 * tone + 0.55 * nz / np.max(np.abs(nz))


def make_clap():
    n = int(0.5 * SR)
    t = np.arange(n) / SR
    e = np.zeros(n)
    for k, d in enumerate((0.0, 0.011, 0.022)):
        m = t >= d
        e[m] += np.exp(-(t[m] - d) / 0.006) * (0.8 + 0.1 * k)
    m = t >= 0.031
    e[m] += np.exp(-(t[m] - 0.031) / 0.14)
    e *= np.minimum(1.0, t / 0.0005)
    nz = fft_filter(noise(n), lambda f: bp_mag(f, 1300, 1.2))
    return nz * e / np.max(np.abs(nz))


def metallic(n):
    """Six detuned square waves (inharmonic), the classic cymbal base."""
    base = 317.0
    ratios = (1.0, 1.342, 1.2312, 1.6532, 1.9523, 2.1523)
    return sum(square(base * r, n, rng.random()) for r in ratios) / 6.0


def make_hat(decay):
    n = int((decay * 8 + 0.01) * SR)
    src = 0.6 * metallic(n) + 0.5 * noise(n)
    src = fft_filter(src, lambda f: hp_mag(f, 7500, 0.9))
    return src * perc_env(n, decay, 0.0005) / np.max(np.abs(src))


def make_crash(decay=0.7, length=3.2):
    n = int(length * SR)
    t = np.arange(n) / SR
    out = np.zeros((2, n))
    for ch in range(2):
        src = 0.5 * metallic(n) + noise(n)
        bright = fft_filter(src, lambda f: hp_mag(f, 5000, 0.7))
        dark = fft_filter(src, lambda f: bp_mag(f, 3500, 0.6))
        e = perc_env(n, decay, 0.0008)
        out[ch] = (bright * (0.6 + 0.4 * np.exp(-t / 0.15)) + 0.4 * dark) * e
    fade = np.clip((length - t) / 0.2, 0.0, 1.0)
    return out * fade / np.max(np.abs(out))


# --------------------------------------------------------------------------
# Pitched voices

def supersaw_note(midi, dur, attack, release, voices=5, detune=0.12, width=0.8):
    """Detuned saws spread across the stereo field; returns (2, n)."""
    n = int((dur + 6 * release) * SR)
    out = np.zeros((2, n))
    f0 = midi_hz(midi)
    for v in range(voices):
        off = (v - (voices - 1) / 2) / ((voices - 1) / 2)      # -1 .. 1
        f = f0 * 2 ** (detune * off / 12.0)
        s = saw(f, n, rng.random())
        pan = off * width
        a = (pan + 1) * np.pi / 4
        out[0] += np.cos(a) * s
        out[1] += np.sin(a) * s
    out *= env_ahr(n, attack, dur - attack, release) / voices
    return out


def pluck(midi, dur, bright=4500.0, dark=900.0, decay=0.18, voices=1, detune=0.08):
    """Saw pluck: a bright attack fading into a darker body (mono)."""
    n = int((dur + 0.35) * SR)
    f0 = midi_hz(midi)
    src = np.zeros(n)
    for v in range(voices):
        off = 0.0 if voices == 1 else (v / (voices - 1) * 2 - 1)
        src += saw(f0 * 2 ** (detune * off / 12), n, rng.random())
    src /= voices
    hi = fft_filter(src, lambda f: lp_mag(f, bright, 1.2))
    lo = fft_filter(src, lambda f: lp_mag(f, dark, 0.9))
    t = np.arange(n) / SR
    e_hi = np.exp(-t / 0.045)
    amp = env_ahr(n, 0.002, 0.0, decay)
    amp *= np.clip((dur + 0.3 - t) / 0.05, 0.0, 1.0)
    return (hi * e_hi + lo * (1 - e_hi)) * amp


def lead_note(midi, dur, cutoff=3800.0):
    n = int((dur + 0.25) * SR)
    t = np.arange(n) / SR
    f0 = midi_hz(midi)
    vib = 1.0 + (2 ** (0.18 / 12) - 1) * np.sin(2 * np.pi * 5.5 * t) * np.clip((t - 0.15) / 0.2, 0, 1)
    s = (0.5 * saw(f0 * vib * 2 ** (0.07 / 12), n, rng.random())
         + 0.5 * saw(f0 * vib * 2 ** (-0.07 / 12), n, rng.random())
         + 0.35 * square(f0 * vib / 2, n, rng.random()))
    s = fft_filter(s, lambda f: lp_mag(f, cutoff, 1.4))
    e = env_ahr(n, 0.008, max(dur - 0.008, 0.0), 0.06)
    return s * e


def bass_note(midi, dur):
    n = int((dur + 0.05) * SR)
    f0 = midi_hz(midi)
    s = 0.7 * saw(f0, n, 0.0) + 0.6 * sine(f0, n, 0.25) + 0.25 * square(f0 * 2, n, 0.0)
    e = env_ahr(n, 0.003, 0.0, 0.35) * np.clip((dur - np.arange(n) / SR) / 0.015, 0, 1)
    return s * e


def riser(t_end, dur, f_lo=300.0, f_hi=7000.0):
    """Noise swept by a rising band-pass plus a rising sine, ending at t_end."""
    n = int(dur * SR)
    t = np.arange(n) / SR
    x = np.vstack([noise(n), noise(n)])
    t0 = t_end - dur
    fc = log_automation([(t0, f_lo), (t_end, f_hi)])
    x = stft_filter(x, lambda tt, ff: bp_mag(ff, fc(tt), 1.6), t0=t0)
    ramp = (t / dur) ** 2
    sweep = sine(220.0 * 2 ** (2.5 * t / dur), n) * 0.25 * ramp
    x = x / np.max(np.abs(x)) * ramp + sweep
    x *= np.clip((dur - t) / 0.01, 0, 1)
    return x


# --------------------------------------------------------------------------
# Melody (lead): (start in beats from phrase start, length in beats, MIDI)

PHRASE_A = [
    (0.0, 1.0, 76), (1.0, 0.5, 76), (1.5, 0.5, 74), (2.0, 1.0, 72), (3.0, 0.5, 74), (3.5, 0.5, 76),
    (4.0, 1.5, 77), (5.5, 0.5, 76), (6.0, 1.5, 72), (7.5, 0.5, 69),
    (8.0, 1.0, 79), (9.0, 0.5, 76), (9.5, 0.5, 79), (10.0, 1.0, 84), (11.0, 0.5, 83), (11.5, 0.5, 79),
    (12.0, 1.5, 83), (13.5, 0.5, 81), (14.0, 1.0, 79), (15.0, 1.0, 74),
]
PHRASE_B = PHRASE_A[:14] + [
    (12.0, 1.0, 83), (13.0, 0.5, 81), (13.5, 0.5, 79), (14.0, 2.0, 81),
]


# --------------------------------------------------------------------------
# Arrangement

def kick_rows():
    rows = [r for r in range(128, 640, 8) if not 376 <= r < 384]
    rows += list(range(768, 896, 8))
    rows.append(896)
    return rows


def compose():
    buses = {name: Bus(name) for name in
             ("kick", "drums", "bass", "pads", "stabs", "arp", "lead", "fx")}
    rev_send = Bus("reverb send")
    dly_send = Bus("delay send")

    kick, snare, clap = make_kick(), make_snare(), make_clap()
    hat_c, hat_o = make_hat(0.035), make_hat(0.16)
    crash = make_crash()

    # ---- kicks
    kicks = [row_time(r) for r in kick_rows()]
    for t in kicks:
        buses["kick"].add(t, kick, gain=1.0)

    # ---- snare / clap on beats 2 and 4
    def backbeat(bar, gain=1.0):
        for beat in (1, 3):
            buses["drums"].add(bt(bar, beat), snare, pan=0.0, gain=0.55 * gain)
            buses["drums"].add(bt(bar, beat), clap, pan=0.05, gain=0.45 * gain)
            rev_send.add(bt(bar, beat), clap, gain=0.25 * gain)

    for bar in list(BUILD) + list(DROP) + list(FINALE):
        if bar == 11:
            continue
        backbeat(bar)

    # ---- hats
    for bar in list(ENTRY) + list(BUILD):
        for beat in range(4):
            if bar == 11 and beat == 3:
                continue
            buses["drums"].add(bt(bar, beat + 0.5), hat_c, pan=0.25,
                               gain=0.30 if bar < 8 else 0.34)
    for bar in list(DROP) + list(FINALE):
        for beat in range(4):
            buses["drums"].add(bt(bar, beat + 0.5), hat_o, pan=0.2, gain=0.26)
            for s16 in (0.25, 0.75):
                buses["drums"].add(bt(bar, beat + s16), hat_c, pan=-0.3,
                                   gain=0.16 + 0.03 * rng.random())
    for bar in BREAK:
        if bar == 23:
            continue
        for beat in range(4):
            buses["drums"].add(bt(bar, beat + 0.5), hat_c, pan=0.35, gain=0.18)
        buses["drums"].add(bt(bar, 3), clap, gain=0.35)
        rev_send.add(bt(bar, 3), clap, gain=0.5)

    # ---- snare rolls (accelerating)
    def roll(times, g0, g1):
        for i, t in enumerate(times):
            g = g0 + (g1 - g0) * i / max(len(times) - 1, 1)
            buses["drums"].add(t, snare, pan=0.0, gain=0.6 * g)
            rev_send.add(t, snare, gain=0.15 * g)

    roll11 = ([bt(11, 0 + i * 0.5) for i in range(2)] +
              [bt(11, 1 + i * 0.25) for i in range(4)] +
              [bt(11, 2 + i * 0.125) for i in range(8)])
    roll(roll11, 0.35, 1.0)
    roll23 = ([bt(23, i * 0.5) for i in range(4)] +
              [bt(23, 2 + i * 0.25) for i in range(4)] +
              [bt(23, 3 + i * 0.125) for i in range(8)])
    roll(roll23, 0.25, 1.0)

    # ---- crashes
    for bar in (12, 16, 24):
        buses["drums"].add(bt(bar), crash, gain=0.42)
        rev_send.add(bt(bar), crash, gain=0.2)
    final_crash = make_crash(decay=0.42, length=2.6)
    buses["drums"].add(bt(FINAL_BAR), final_crash, gain=0.45)
    rev_send.add(bt(FINAL_BAR), final_crash, gain=0.15)
    # reversed cymbal swelling into bar 4
    rev = make_crash(decay=0.9, length=BAR)[:, ::-1]
    rev *= np.linspace(0, 1, rev.shape[1]) ** 1.5
    buses["fx"].add(bt(4) - rev.shape[1] / SR, rev, gain=0.35)

    # ---- risers
    for t_end, dur, g in ((bt(4), BAR * 0.75, 0.20), (bt(12), BAR, 0.28), (bt(24), BAR, 0.26)):
        r = riser(t_end, dur)
        buses["fx"].add(t_end - dur, r, gain=g)
        rev_send.add(t_end - dur, r, gain=0.3 * g)

    # ---- bass
    def bass_bar(bar, style):
        root = chord_of(bar)[0]
        if style == "offbeat":
            for beat in range(4):
                buses["bass"].add(bt(bar, beat + 0.5), bass_note(root, BEAT * 0.45))
        elif style == "pop":
            for beat in range(4):
                if bar == 11 and beat == 3:
                    continue
                buses["bass"].add(bt(bar, beat + 0.5), bass_note(root, BEAT * 0.3))
                buses["bass"].add(bt(bar, beat + 0.75), bass_note(root + 12, BEAT * 0.2), gain=0.6)
        elif style == "roll":
            for beat in range(4):
                for s16 in (0.25, 0.5, 0.75):
                    m = root + (12 if s16 == 0.75 and beat % 2 == 1 else 0)
                    buses["bass"].add(bt(bar, beat + s16), bass_note(m, BEAT * 0.22),
                                      gain=1.0 if s16 == 0.5 else 0.8)

    for bar in ENTRY:
        bass_bar(bar, "offbeat")
    for bar in BUILD:
        bass_bar(bar, "pop")
    for bar in list(DROP) + list(FINALE):
        bass_bar(bar, "roll")
    buses["bass"].add(bt(FINAL_BAR), bass_note(33, 1.4), gain=1.1)

    # ---- pads: one chord per bar, intro to final hit
    for bar in range(0, FINAL_BAR):
        for m in chord_of(bar)[1]:
            buses["pads"].add(bt(bar), supersaw_note(m, BAR, 0.25, 0.35))
    for m in CHORDS[0][1]:
        buses["pads"].add(bt(FINAL_BAR), supersaw_note(m, 0.25, 0.005, 0.45), gain=1.3)

    # ---- stabs (tresillo), from bar 8
    def stab_bar(bar, gain=1.0):
        for s16 in (0, 6, 12):
            if bar == 11 and s16 == 12:
                continue
            for m in chord_of(bar)[1][:4]:
                buses["stabs"].add(bt(bar, s16 / 4), pluck(m, BEAT * 0.4, bright=5000, dark=1400,
                                                            decay=0.12, voices=3),
                                   pan=0.0, gain=gain)
    for bar in list(BUILD) + list(DROP) + list(FINALE):
        stab_bar(bar)
    for m in CHORDS[0][1][:4]:
        buses["stabs"].add(bt(FINAL_BAR), pluck(m, 0.4, bright=5000, dark=1400, decay=0.35,
                                                voices=3), gain=1.2)

    # ---- arpeggio: 16ths over chord tones an octave up
    pattern = (0, 1, 2, 3, 4, 3, 2, 1)
    for bar in range(1, FINAL_BAR):
        if bar in BREAK and bar != 23:
            gain = 0.8
        else:
            gain = 1.0
        notes = chord_of(bar)[1]
        for i in range(16):
            if bar == 11 and i >= 12:
                continue
            m = notes[pattern[i % 8]] + 12
            p = pluck(m, BEAT * 0.2, bright=3800, dark=1100, decay=0.09)
            pan = -0.45 if i % 2 == 0 else 0.45
            g = gain * (1.0 if i % 4 == 0 else 0.7)
            buses["arp"].add(bt(bar, i / 4), p, pan=pan, gain=g)
            dly_send.add(bt(bar, i / 4), p, gain=0.25 * g)

    # ---- lead
    def phrase(start_bar, notes, gain=1.0, cutoff=3800.0, delay=0.35, verb=0.25):
        for b, length, m in notes:
            s = lead_note(m, length * BEAT * 0.92, cutoff)
            t = bt(start_bar, b)
            buses["lead"].add(t, s, gain=gain)
            dly_send.add(t, s, gain=delay * gain)
            rev_send.add(t, s, gain=verb * gain)

    phrase(12, PHRASE_A)
    phrase(16, PHRASE_B)
    phrase(20, PHRASE_A, gain=0.55, cutoff=900.0, delay=0.8, verb=0.5)
    phrase(24, PHRASE_B)

    return buses, rev_send, dly_send, kicks


def sidechain(kicks, depth, release=0.16):
    """Gain curve ducking after every kick."""
    g = np.ones(N)
    n = int(0.5 * SR)
    t = np.arange(n) / SR
    shape = 1.0 - depth * np.minimum(1.0, t / 0.004) * np.exp(-t / release)
    for tk in kicks:
        s = sample_at(tk)
        e = min(s + n, N)
        g[s:e] = np.minimum(g[s:e], shape[:e - s])
    return g


def ping_pong(x, delay_s, feedback, taps=8, cutoff=2600.0):
    """Stereo ping-pong echo of a (2, n) send, darker with each repeat."""
    mono = x.mean(axis=0)
    d = sample_at(delay_s)
    out = np.zeros((2, N))
    y = mono
    for k in range(1, taps + 1):
        y = fft_filter(y, lambda f: lp_mag(f, cutoff, 0.7)) if k <= 3 else y * 0.9
        ch = (k - 1) % 2
        if k * d < N:
            out[ch, k * d:] += feedback ** (k - 1) * y[:N - k * d]
    return out


def reverb(x, seconds=2.2, decay=0.55):
    """Convolution with a stereo decaying-noise tail that darkens with time."""
    n = int(seconds * SR)
    t = np.arange(n) / SR
    ir = np.vstack([noise(n), noise(n)]) * np.exp(-t / decay)
    cut = log_automation([(0.0, 9000.0), (seconds, 1200.0)])
    ir = stft_filter(ir, lambda tt, ff: lp_mag(ff, cut(tt), 0.7))
    ir *= np.minimum(1.0, t / 0.01)
    pre = int(0.018 * SR)
    ir = np.concatenate([np.zeros((2, pre)), ir], axis=1)
    ir /= np.sqrt(np.sum(ir ** 2) / 2.0)
    nfft = 1 << int(np.ceil(np.log2(N + ir.shape[1])))
    X = np.fft.rfft(x, nfft)
    H = np.fft.rfft(ir, nfft)
    return np.fft.irfft(X * H, nfft)[:, :N]


def mixdown(buses, rev_send, dly_send, kicks):
    bar_t = bt

    # Section automation of the pad low-pass and level
    pad_cut = log_automation([
        (0.0, 500.0), (bar_t(4), 1800.0), (bar_t(11), 1800.0), (bar_t(12), 7000.0),
        (bar_t(12) + 0.5, 3800.0), (bar_t(20), 3800.0), (bar_t(20) + 0.3, 900.0),
        (bar_t(23), 1000.0), (bar_t(24), 6000.0), (bar_t(24) + 0.5, 3800.0),
        (bar_t(28), 3800.0), (LENGTH, 1500.0)])
    pad_gain = automation([
        (0.0, 0.0), (bar_t(2), 0.7), (bar_t(4), 1.0), (bar_t(12), 0.75),
        (bar_t(20), 0.75), (bar_t(20) + 0.05, 0.9), (bar_t(24), 0.9),
        (bar_t(24) + 0.05, 0.75), (LENGTH, 0.75)])
    pads = buses["pads"].x
    pads = stft_filter(pads, lambda tt, ff: lp_mag(ff, pad_cut(tt), 1.1))
    pads *= pad_gain(np.arange(N) / SR)

    # Bass and stabs: the bar-11 (and bar-23) filter opening
    bass_cut = log_automation([
        (0.0, 420.0), (bar_t(11), 420.0), (bar_t(12), 2500.0), (bar_t(12) + 0.4, 900.0),
        (LENGTH, 900.0)])
    bass = stft_filter(buses["bass"].x, lambda tt, ff: lp_mag(ff, bass_cut(tt), 1.3))
    stab_cut = log_automation([
        (0.0, 1500.0), (bar_t(11), 1500.0), (bar_t(12), 8000.0), (bar_t(12) + 0.4, 5000.0),
        (LENGTH, 5000.0)])
    stabs = stft_filter(buses["stabs"].x, lambda tt, ff: lp_mag(ff, stab_cut(tt), 0.9))
    arp = buses["arp"].x
    arp_gain = automation([(0.0, 0.0), (bar_t(1), 0.35), (bar_t(4), 0.8), (LENGTH, 0.8)])
    arp = arp * arp_gain(np.arange(N) / SR)
    arp_cut = log_automation([(0.0, 1500.0), (bar_t(4), 4000.0), (bar_t(20), 4000.0),
                              (bar_t(20) + 0.3, 1400.0), (bar_t(23), 1400.0),
                              (bar_t(24), 5000.0), (LENGTH, 5000.0)])
    arp = stft_filter(arp, lambda tt, ff: lp_mag(ff, arp_cut(tt), 0.8))

    duck_hard = sidechain(kicks, 0.75)
    duck_soft = sidechain(kicks, 0.45)

    stems = {
        "kick": 0.55 * buses["kick"].x,
        "drums": 1.6 * buses["drums"].x,
        "bass": 0.5 * bass * duck_hard,
        "pads": 0.32 * pads * duck_soft,
        "stabs": 0.3 * stabs * duck_soft,
        "arp": 0.28 * arp * duck_soft,
        "lead": 0.25 * buses["lead"].x,
        "fx": 0.3 * buses["fx"].x,
    }
    mix = sum(stems.values())

    # Send effects.  The send buses were filled at per-hit send levels (clap,
    # crash, snare roll, riser and lead into the reverb; arp and lead into the
    # echo); the tonal beds feed the reverb as a fraction of their mixed level.
    wet_src = (0.8 * rev_send.x + 0.45 * stems["pads"] + 0.25 * stems["stabs"]
               + 0.4 * stems["arp"])
    wet = reverb(wet_src)
    echoes = ping_pong(0.25 * dly_send.x, 0.75 * BEAT, 0.5)
    mix += 0.35 * wet * duck_soft + 0.8 * echoes * duck_soft
    return mix, stems


def limiter(x, drive_db=4.0, block=512, reach=3):
    """Look-ahead peak limiter: gain from block peaks, smoothed both ways.

    The signal is driven by drive_db; the gain never lets a block's peak
    exceed 1.0 by much, and changes over ~70 ms so the kick is not torn."""
    x = x * 10 ** (drive_db / 20.0)
    n = x.shape[-1]
    nb = -(-n // block)
    a = np.zeros(nb * block)
    a[:n] = np.max(np.abs(x), axis=0)
    peaks = a.reshape(nb, block).max(axis=1)
    need = np.minimum(1.0, 1.0 / np.maximum(peaks, 1e-9))
    padded = np.concatenate([np.ones(reach), need, np.ones(reach)])
    g = np.min(np.lib.stride_tricks.sliding_window_view(padded, 2 * reach + 1), axis=1)
    k = np.hanning(2 * reach + 3)[1:-1]
    g = np.convolve(np.concatenate([np.ones(reach), g, np.ones(reach)]), k / k.sum(), "valid")
    centres = (np.arange(nb) + 0.5) * block
    return x * np.interp(np.arange(n), centres, g)


def soft_clip(x, knee=0.85):
    a = np.abs(x)
    over = a > knee
    y = x.copy()
    y[over] = np.sign(x[over]) * (knee + (1 - knee) * np.tanh((a[over] - knee) / (1 - knee)))
    return y


def master(mix):
    mix = fft_filter(mix, lambda f: hp_mag(f, 28.0, 0.7))
    t = np.arange(N) / SR
    fade = np.clip((SILENT_FROM - t) / 0.8, 0.0, 1.0)
    mix *= 0.5 - 0.5 * np.cos(np.pi * fade)
    x = limiter(mix / np.max(np.abs(mix)), drive_db=4.0)
    x = soft_clip(x)
    return x * 10 ** (PEAK_DBFS / 20.0) / np.max(np.abs(x))


def to_pcm16(x):
    d = (rng.random(x.shape) - rng.random(x.shape)) / 32768.0   # TPDF dither
    pcm = np.clip(np.round((x + d) * 32767.0), -32768, 32767).astype("<i2")
    return np.ascontiguousarray(pcm.T).tobytes()


def encode(pcm_bytes, out):
    """256 kbit/s CBR, no tags, no ReplayGain analysis: reproducible output."""
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "mix.wav")
        write_wav(wav, pcm_bytes)
        cmd = ["lame", "--quiet", "-m", "j", "-b", "256", "-q", "2",
               "--noreplaygain", wav, out]
        subprocess.run(cmd, check=True)


def write_wav(path, pcm_bytes):
    import wave
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(SR)
        w.writeframes(pcm_bytes)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=DEFAULT_OUT, help="MP3 to write")
    ap.add_argument("--wav", help="also write the 16-bit WAV here")
    args = ap.parse_args(argv)

    buses, rev_send, dly_send, kicks = compose()
    mix, _ = mixdown(buses, rev_send, dly_send, kicks)
    out = master(mix)
    pcm = to_pcm16(out)
    if args.wav:
        write_wav(args.wav, pcm)
    encode(pcm, args.out)
    rms = np.sqrt(np.mean(out ** 2))
    print("%s: %.2f s, peak %.2f dBFS, rms %.2f dBFS (before encoding)"
          % (args.out, N / SR, 20 * np.log10(np.max(np.abs(out))), 20 * np.log10(rms)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
