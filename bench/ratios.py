#!/usr/bin/env python3
"""Turns Google Benchmark JSON output of kasp2_bench into a table of ratios.

Each row divides one library path by its baseline measured in the same run,
in CPU time per iteration. A baseline may be a sum of several rows (for
example memcpy plus one cache hit). Rows whose benchmarks are missing (a
peer library was not found) are left out.

Two ratios are shown: of the medians over the repetitions, and of the
minimums. Paired rows (PAIRED) are measured in alternate turns inside one
benchmark; their ratios are the median and the minimum of the per-repetition
ratios. On a shared machine the repetitions are often bimodal (a busy
sibling hardware thread halves the throughput of SIMD-heavy code, and CPU
time counts that as ours); the minimums are the uncontended figures.
A target is met ("ok") when the median ratio is within it, "ok on min" when
only the minimum ratio is.

Usage: ratios.py [--markdown] RESULT.json [RESULT.json ...]
Exit status 1 when a target is missed on both figures.
"""
import json
import statistics
import sys

# (label, numerator, [denominator terms], target or None, note)
# A target is the largest acceptable ratio.
HD = "4147200"
ROWS = [
    ("Cache hit, 1080p 2vuy, 8 other buckets, 1 thread, separate rows",
     "BM_CacheHit_Kasp2_HdFrame/8/threads:1", ["BM_CacheHit_FFmpegPool/%s/threads:1" % HD], None,
     "vs av_buffer_pool_get + av_buffer_unref; the paired row holds the target"),
    ("Cache hit, 1080p 2vuy, 8 other buckets, 2 threads",
     "BM_CacheHit_Kasp2_HdFrame/8/threads:2", ["BM_CacheHit_FFmpegPool/%s/threads:2" % HD], 3.0,
     "vs av_buffer_pool_get + av_buffer_unref"),
    ("Cache hit, 1 thread, vs malloc + first touch + free",
     "BM_CacheHit_Kasp2_HdFrame/8/threads:1", ["BM_CacheHit_MallocTouchFree/%s/threads:1" % HD], None, ""),
    ("Cache hit, 2 threads, vs malloc + first touch + free",
     "BM_CacheHit_Kasp2_HdFrame/8/threads:2", ["BM_CacheHit_MallocTouchFree/%s/threads:2" % HD], None, ""),
    ("Cache hit, 0 other buckets",
     "BM_CacheHit_Kasp2_HdFrame/0/threads:1", ["BM_CacheHit_FFmpegPool/%s/threads:1" % HD], None,
     "indexed lookup"),
    ("Cache hit, 32 other buckets",
     "BM_CacheHit_Kasp2_HdFrame/32/threads:1", ["BM_CacheHit_FFmpegPool/%s/threads:1" % HD], None,
     "indexed lookup"),
    ("Cache hit, 64 other buckets",
     "BM_CacheHit_Kasp2_HdFrame/64/threads:1", ["BM_CacheHit_FFmpegPool/%s/threads:1" % HD], None,
     "indexed lookup"),
    ("Cache hit, 128 other buckets",
     "BM_CacheHit_Kasp2_HdFrame/128/threads:1", ["BM_CacheHit_FFmpegPool/%s/threads:1" % HD], None,
     "indexed lookup"),
    ("Cache hit, 128 vs 8 buckets",
     "BM_CacheHit_Kasp2_HdFrame/128/threads:1", ["BM_CacheHit_Kasp2_HdFrame/8/threads:1"], 1.1,
     "the same hit with 8 other buckets"),
    ("Video delivery + cue + release, no delay",
     "BM_Video_DeliverCue_NoDelay", ["BM_Video_MemcpyHdFrame"], 0.005, "vs memcpy of one 1080p 2vuy frame"),
    ("Video delivery + cue, host takes the frame",
     "BM_Video_DeliverCue_NoDelay_HostTakesFrame", ["BM_Video_MemcpyHdFrame"], None,
     "vs memcpy of one 1080p 2vuy frame"),
    ("Video delivery + cue + release, 0.1 s delay",
     "BM_Video_DeliverCue_Delay100ms", ["BM_Video_MemcpyHdFrame"], None, "vs memcpy of one 1080p 2vuy frame"),
    ("'sowt' 48 kHz delivery (10 ms stereo)",
     "BM_AudioReceive_Sowt48k", ["BM_AudioReceive_RingWrite"], 1.6, "vs a bare ring Write of the bytes"),
    ("'sowt' 48 kHz delivery vs JACK ring write",
     "BM_AudioReceive_Sowt48k", ["BM_AudioReceive_JackRingWrite"], None, "jack_ringbuffer_write"),
    ("Bare ring Write vs JACK ring write",
     "BM_AudioReceive_RingWrite", ["BM_AudioReceive_JackRingWrite"], None, "locked ring vs lock-free ring"),
    ("Bare ring Write vs memcpy",
     "BM_AudioReceive_RingWrite", ["BM_AudioReceive_Memcpy"], None, "1920 bytes"),
    ("ConvertAudioFrame 'fl32' 48 kHz",
     "BM_Convert_Kasp2/fl32", ["BM_Convert_Swr/fl32", "BM_CacheHit_Kasp2_AudioBlock/0/threads:1"], 2.0,
     "vs libswresample alone + one cache hit"),
    ("ConvertAudioFrame '32ni' 48 kHz",
     "BM_Convert_Kasp2/32ni", ["BM_Convert_Swr/32ni", "BM_CacheHit_Kasp2_AudioBlock/0/threads:1"], None,
     "vs libswresample alone + one cache hit"),
    ("ConvertAudioFrame 'sowt' 48 kHz",
     "BM_Convert_Kasp2/sowt", ["BM_Convert_Memcpy/sowt", "BM_CacheHit_Kasp2_AudioBlock/0/threads:1"], None,
     "vs memcpy + one cache hit"),
    ("ConvertAudioFrame 'fl32' vs memcpy", "BM_Convert_Kasp2/fl32", ["BM_Convert_Memcpy/fl32"], None, ""),
    ("ConvertAudioFrame 'in24' vs memcpy", "BM_Convert_Kasp2/in24", ["BM_Convert_Memcpy/in24"], None, ""),
    ("ConvertAudioFrame '42ni' vs memcpy", "BM_Convert_Kasp2/42ni", ["BM_Convert_Memcpy/42ni"], None, ""),
    ("ConvertAudioFrame '32ni' vs memcpy", "BM_Convert_Kasp2/32ni", ["BM_Convert_Memcpy/32ni"], None, ""),
    ("ConvertAudioFrame 'sowt' vs memcpy", "BM_Convert_Kasp2/sowt", ["BM_Convert_Memcpy/sowt"], None, ""),
    ("44.1 -> 48 kHz delivery through the renderer, separate rows",
     "BM_Resample44k_Kasp2Receive", ["BM_Resample44k_Swr"], None,
     "OnReceive vs libswresample alone (same settings); the paired row below holds the target"),
    ("44.1 -> 48 kHz ConvertAudioFrame",
     "BM_Resample44k_Kasp2Convert", ["BM_Resample44k_Swr"], None, "vs libswresample alone (same settings)"),
    ("libswresample defaults vs the converter's settings",
     "BM_Resample44k_SwrDefaults", ["BM_Resample44k_Swr"], None, "32 taps, 16-bit filtering"),
    ("libsoxr HQ vs libswresample", "BM_Resample44k_Soxr", ["BM_Resample44k_Swr"], None, "reference"),
    ("Audio cue, 1600 stereo frames",
     "BM_AudioCue_Period", ["BM_AudioCue_Memcpy6400", "BM_CacheHit_Kasp2_AudioPeriod/0/threads:1"], 2.0,
     "vs memcpy of 6400 bytes + one cache hit"),
    ("Render hash of a 2-filter node", "BM_Filter_RenderHash", ["BM_Filter_MD5"], None,
     "vs libmd MD5 of the same bytes"),
    ("Filter-cache hit (LocateCachedBufferForFilterGraph)", "BM_Filter_CacheHit", ["BM_Filter_MD5"], None,
     "vs libmd MD5 of the same bytes"),
    ("Media source: decode + convert + deliver, 1080p H.264 + AAC",
     "BM_Media_DecodeDeliver1080p/process_time", ["BM_Media_FFmpegDecodeOnly1080p/process_time"], None,
     "vs FFmpeg's demux + decode of the same file; CPU of all threads"),
]

# Ratios measured in alternate turns within one benchmark (RunPaired): the
# benchmark's "ratio" counter per repetition. Where a row's figure is small
# against the machine's swings, two separate rows measured seconds apart
# compare two different machines; these compare one.
# (label, benchmark, target or None, note)
PAIRED = [
    ("Cache hit, 1080p 2vuy, 8 other buckets, 1 thread, paired",
     "BM_CacheHit_HdFrameVsFFmpegPoolPaired", 1.5,
     "vs av_buffer_pool_get + av_buffer_unref, alternate turns of 256 calls"),
    ("44.1 -> 48 kHz delivery through the renderer, paired",
     "BM_Resample44k_ReceiveVsSwrPaired", 1.15,
     "OnReceive vs libswresample alone (same settings), alternate turns of 32 blocks"),
]

# Absolute costs worth showing on their own.
ABSOLUTE = [
    ("Cache hit, 1080p, 8 other buckets", "BM_CacheHit_Kasp2_HdFrame/8/threads:1"),
    ("FFmpeg pool get + unref", "BM_CacheHit_FFmpegPool/%s/threads:1" % HD),
    ("'sowt' 48 kHz delivery", "BM_AudioReceive_Sowt48k"),
    ("Audio cue", "BM_AudioCue_Period"),
    ("Video delivery + cue, no delay", "BM_Video_DeliverCue_NoDelay"),
    ("DriftCorrect, 2 s window (200 entries)", "BM_DriftCorrect"),
    ("Resampler Nearest, 480 -> 481 stereo frames", "BM_Resampler/Nearest"),
    ("Resampler NearestLinear, 480 -> 481", "BM_Resampler/NearestLinear"),
    ("Resampler Linear (the drift path), 480 -> 481", "BM_Resampler/Linear"),
    ("Resampler Parabolic, 480 -> 481", "BM_Resampler/Parabolic"),
    ("Smooth resampler (96-tap sinc), 480 stereo frames at 1 + 500 ppm", "BM_SmoothResampler"),
    ("Drift tracker, one delivery", "BM_DriftTracker"),
    ("memcpy of the 1920-byte block", "BM_Resampler_Memcpy"),
    ("44.1 -> 48 kHz delivery", "BM_Resample44k_Kasp2Receive"),
]

SCALE_COUNTS = [1, 4, 16, 64]
# Per-source CPU per period against one source: 16 sources (a studio's worth)
# within 1.2x, 64 within 1.5x.
SCALE_TARGETS = {16: 1.2, 64: 1.5}

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(paths):
    """CPU times in ns per benchmark name (one per repetition), the counters of
    each name (a list per counter), and the context of the first file."""
    samples = {}
    counters = {}
    context = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        context = context or data.get("context", {})
        for b in data.get("benchmarks", []):
            if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
                continue
            name = b.get("run_name", b["name"])
            ns = float(b["cpu_time"]) * UNIT_NS.get(b.get("time_unit", "ns"), 1.0)
            samples.setdefault(name, []).append(ns)
            for key in ("ratio", "library_ns", "baseline_ns"):
                if key in b:
                    counters.setdefault(name, {}).setdefault(key, []).append(float(b[key]))
    return samples, counters, context


def fmt_ratio(r):
    if r < 0.01:
        return "%.3f%%" % (r * 100.0)
    return "%.2f\u00d7" % r


def fmt_ns(ns):
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e3:
        return "%.2f \u00b5s" % (ns / 1e3)
    return "%.0f ns" % ns


def verdict(median_ratio, min_ratio, target):
    if target is None:
        return "", 0
    limit = "\u2264 " + fmt_ratio(target)
    if median_ratio <= target:
        return limit + " ok", 0
    if min_ratio <= target:
        return limit + " ok on min", 0
    return limit + " MISSED", 1


def main(argv):
    markdown = "--markdown" in argv
    paths = [a for a in argv if not a.startswith("--")]
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    samples, counters, context = load(paths)
    medians = {k: statistics.median(v) for k, v in samples.items()}
    minimums = {k: min(v) for k, v in samples.items()}

    lines = []
    lines.append("| path | ratio (median) | ratio (min) | target | library | baseline | baseline is |")
    lines.append("|---|---:|---:|---|---:|---:|---|")
    failures = 0
    for label, num, dens, target, note in ROWS:
        if num not in medians or any(d not in medians for d in dens):
            continue
        den = sum(medians[d] for d in dens)
        den_min = sum(minimums[d] for d in dens)
        ratio = medians[num] / den if den > 0 else float("inf")
        ratio_min = minimums[num] / den_min if den_min > 0 else float("inf")
        text, missed = verdict(ratio, ratio_min, target)
        failures += missed
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            label, fmt_ratio(ratio), fmt_ratio(ratio_min), text, fmt_ns(medians[num]), fmt_ns(den), note))

    for label, name, target, note in PAIRED:
        c = counters.get(name, {})
        if not all(k in c for k in ("ratio", "library_ns", "baseline_ns")):
            continue
        ratio = statistics.median(c["ratio"])
        ratio_min = min(c["ratio"])
        text, missed = verdict(ratio, ratio_min, target)
        failures += missed
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            label, fmt_ratio(ratio), fmt_ratio(ratio_min), text, fmt_ns(statistics.median(c["library_ns"])),
            fmt_ns(statistics.median(c["baseline_ns"])), note))

    scale = {}
    for n in SCALE_COUNTS:
        name = "BM_Scale/%d/threads:2" % n
        if name in medians:
            # cpu_time is averaged over both threads' iterations: one period
            # of both sides costs twice that.
            scale[n] = (2.0 * medians[name] / n, 2.0 * minimums[name] / n)
    if scale:
        lines.append("")
        lines.append("| sources | CPU per source per period (median) | vs 1 source | (min) | vs 1 source | target |")
        lines.append("|---:|---:|---:|---:|---:|---|")
        base = scale.get(1)
        for n in sorted(scale):
            rel = scale[n][0] / base[0] if base else float("nan")
            rel_min = scale[n][1] / base[1] if base else float("nan")
            text = ""
            if n in SCALE_TARGETS and base:
                text, missed = verdict(rel, rel_min, SCALE_TARGETS[n])
                failures += missed
            lines.append("| %d | %s | %.2f\u00d7 | %s | %.2f\u00d7 | %s |" % (
                n, fmt_ns(scale[n][0]), rel, fmt_ns(scale[n][1]), rel_min, text))

    lines.append("")
    lines.append("| absolute (CPU) | median | min |")
    lines.append("|---|---:|---:|")
    for label, name in ABSOLUTE:
        if name in medians:
            lines.append("| %s | %s | %s |" % (label, fmt_ns(medians[name]), fmt_ns(minimums[name])))

    reps = sorted(set(len(v) for v in samples.values()))
    footer = "CPU time per iteration over %s repetitions." % "/".join(str(r) for r in reps)
    if context:
        footer += " Host: %s CPUs at %s MHz, load average %s at the start." % (
            context.get("num_cpus", "?"), context.get("mhz_per_cpu", "?"),
            ", ".join("%.1f" % x for x in context.get("load_avg", [])) or "?")
    lines.append("")
    lines.append(footer)

    text = "\n".join(lines)
    if not markdown:
        text = text.replace("\u00d7", "x").replace("\u2264", "<=").replace("\u00b5", "u")
    print(text)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
