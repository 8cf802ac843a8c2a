"""Builds the libFuzzer harnesses and runs each over its seeds for a while.

    python tests/fuzz/run.py --seconds 180 --out build/check/fuzz [--types wav,mp3]
                             [--raylib-src DIR] [--timeout 5] [--rss-mb 2048] [--device closed]
                             [--corpus DIR]

Each harness (tests/fuzz/harness.cpp, one per file type) runs in libFuzzer's
fork mode with one worker, so that it goes on past a finding: every input
that crashes, hangs (--timeout seconds) or allocates past --rss-mb is kept in
OUT as fuzz-<type>-<kind>-<hash>. Then each kept input is run once more and
its report compared with KNOWN, raylib's faults that are known and being
mended; one that matches moves to OUT/known/. Any other is a finding: the
exit status is 1, and OUT/findings.txt names each input with its report.

The corpus each harness grows stays in build/fuzz/corpus/<type> (--corpus)
for the next run. raylib's source is RAYLIB_SRC (raylib's src/ folder): by default
the patched tree ./dev stages for the wheel, build/wheel-raylib/src, else
Debian's copied into build/raylib-src.
"""

from __future__ import annotations

import argparse
import base64
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
BUILD = REPO / "build" / "fuzz"
sys.path.insert(0, os.fspath(HERE))

import seeds  # noqa: E402

TYPES = seeds.TYPES

# raylib's own faults that the harnesses meet and that neither a check
# before raylib nor a patch to it mends yet (both are slow loads, not unsafe
# ones): a kept input whose report matches one is not a finding. Each entry
# is (file type, kind of report, functions that all appear in its stack,
# what it is). Remove an entry once its mend is in: the inputs it matched
# are in OUT/known/.
KNOWN = (
    ("ogg", "timeout", ("compute_sorted_huffman",),
     "Ogg setup header of a codebook of millions of entries: stb_vorbis allocates, sorts and searches them"),
    ("wav", "timeout", ("LoadSoundFromWave",),
     "WAV of a rate of a few Hz: LoadSoundFromWave resamples it thousands of times over"),
)

# A request for more than any allocator grants (a size from a header read
# as negative): malloc returns NULL, as allocator_may_return_null makes
# ASan's do, and the decoder's own check of it is what runs.
IMPOSSIBLE_ALLOCATION = 1 << 40

KINDS = ("crash", "timeout", "oom", "leak")


def raylib_src(given: str | None) -> Path:
    if given:
        return Path(given).resolve()
    for candidate in (REPO / "build" / "wheel-raylib" / "src", REPO / "build" / "raylib-src"):
        if (candidate / "raudio.c").is_file():
            return candidate
    sys.exit("no raylib source: ./dev wheel stages build/wheel-raylib/src, or copy raylib's src/ "
             "into build/raylib-src, or give --raylib-src")


def build(src: Path) -> None:
    env = environment()
    subprocess.run(["cmake", "-S", HERE, "-B", BUILD, "-G", "Ninja", "-DCMAKE_C_COMPILER=clang",
                    "-DCMAKE_CXX_COMPILER=clang++", f"-DRAYLIB_SRC={src}"],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    subprocess.run(["nice", "cmake", "--build", BUILD, "-j1"], check=True, stdout=subprocess.DEVNULL, env=env)


def environment(device: str = "open") -> dict[str, str]:
    # Not the sanitizer or call recorder that a checked test run preloads:
    # the harnesses bring their own runtime.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    # addr2line names the functions of a report: the root has no llvm-symbolizer.
    env["ASAN_OPTIONS"] = "detect_leaks=1:allocator_may_return_null=1:external_symbolizer_path=/usr/bin/addr2line"
    env["UBSAN_OPTIONS"] = "print_stacktrace=1:external_symbolizer_path=/usr/bin/addr2line"
    env["LUMABO_FUZZ_DEVICE"] = device
    return env


def kept(out: Path, file_type: str) -> list[Path]:
    return sorted(p for kind in KINDS for p in out.glob(f"fuzz-{file_type}-{kind}-*"))


def report_of(binary: Path, path: Path, args: argparse.Namespace) -> str:
    """The report of one more run of the input at PATH."""
    try:
        done = subprocess.run([binary, f"-timeout={args.timeout}", f"-rss_limit_mb={args.rss_mb}", path],
                              capture_output=True, text=True, errors="replace",
                              timeout=args.timeout * 4 + 60, env=environment(args.device))
        return done.stdout + done.stderr
    except subprocess.TimeoutExpired:
        return "ERROR: libFuzzer: timeout (the rerun did not end)"


def kind_of(report: str) -> str:
    m = re.search(r"ERROR: (?:AddressSanitizer|LeakSanitizer|libFuzzer): ([\w-]+)", report)
    if m:
        return m.group(1)
    return "undefined-behavior" if "runtime error:" in report else "unknown"


def functions(report: str) -> list[str]:
    return re.findall(r"#\d+ 0x[0-9a-f]+ in (\S+)", report)


def known(file_type: str, report: str) -> str | None:
    kind, names = kind_of(report), " ".join(functions(report))
    m = re.search(r"out-of-memory \(malloc\((\d+)\)\)", report)
    if m and int(m.group(1)) >= IMPOSSIBLE_ALLOCATION:
        return "a request for more memory than any allocator grants"
    for t, k, frames, what in KNOWN:
        if t == file_type and k == kind and all(f in names for f in frames):
            return what
    return None


def summary_lines(report: str) -> str:
    lines = [ln for ln in report.splitlines()
             if "ERROR:" in ln or "runtime error" in ln or re.search(r"#\d+ 0x[0-9a-f]+ in ", ln)]
    return "\n".join(ln for ln in lines if "fuzzer::" not in ln)[:4000]


def run_one(file_type: str, args: argparse.Namespace, out: Path, seed_dir: Path) -> tuple[int, list[str]]:
    binary = BUILD / f"fuzz_{file_type}"
    corpus = Path(args.corpus) / file_type
    corpus.mkdir(parents=True, exist_ok=True)
    log = out / f"fuzz-{file_type}.log"
    cmd = ["nice", binary, "-fork=1", "-ignore_crashes=1", "-ignore_timeouts=1", "-ignore_ooms=1",
           f"-max_total_time={args.seconds}", f"-timeout={args.timeout}", f"-rss_limit_mb={args.rss_mb}",
           f"-malloc_limit_mb={args.rss_mb}", f"-dict={HERE / 'dicts' / (file_type + '.dict')}",
           f"-artifact_prefix={out}/fuzz-{file_type}-", "-print_final_stats=1", corpus, seed_dir / file_type]
    started = time.monotonic()
    with open(log, "w") as f:
        subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT, env=environment(args.device), cwd=out,
                       timeout=args.seconds + 600)
    text = log.read_text(errors="replace")
    execs = re.findall(r"^#(\d+)[:\s]", text, re.MULTILINE)
    findings = []
    known_count = 0
    for path in kept(out, file_type):
        report = report_of(binary, path, args)
        what = known(file_type, report)
        if what:
            (out / "known").mkdir(exist_ok=True)
            shutil.move(path, out / "known" / path.name)
            (out / "known" / (path.name + ".txt")).write_text(f"{what}\n\n{summary_lines(report)}\n")
            known_count += 1
            continue
        if "-timeout-" in path.name and kind_of(report) == "unknown":
            # The harness is deterministic: an input that ran past the
            # limit once and within it now is slow, near the limit.
            print(f"fuzz: {path.name} ran within {args.timeout} s when run again: slow, not stuck",
                  flush=True)
            continue
        data = path.read_bytes()
        shown = base64.b64encode(data).decode() if len(data) <= 4096 else f"({len(data)} bytes)"
        findings.append(f"{path}\n  {kind_of(report)}; base64: {shown}\n{summary_lines(report)}\n")
    print(f"fuzz: {file_type}: {execs[-1] if execs else 0} inputs in {time.monotonic() - started:.0f} s, "
          f"{len(findings)} findings, {known_count} known faults, corpus {len(list(corpus.iterdir()))}",
          flush=True)
    return known_count, findings


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=180, help="per harness")
    parser.add_argument("--types", default=",".join(TYPES))
    parser.add_argument("--out", default=os.fspath(REPO / "build" / "check" / "fuzz"))
    parser.add_argument("--raylib-src")
    parser.add_argument("--timeout", type=int, default=5, help="seconds one input may take")
    parser.add_argument("--rss-mb", type=int, default=2048)
    parser.add_argument("--corpus", default=os.fspath(BUILD / "corpus"),
                        help="the corpora each run grows, one folder per type")
    parser.add_argument("--device", choices=("open", "closed"), default="open",
                        help="closed: no audio device, as lumabo before open_audio()")
    args = parser.parse_args()
    out = Path(args.out).resolve()
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    src = raylib_src(args.raylib_src)
    print(f"fuzz: raylib from {src}", flush=True)
    build(src)
    seed_dir = BUILD / "seeds"
    shutil.rmtree(seed_dir, ignore_errors=True)
    seeds.write_seeds(seed_dir)
    findings: list[str] = []
    for file_type in args.types.split(","):
        findings += run_one(file_type, args, out, seed_dir)[1]
    if findings:
        (out / "findings.txt").write_text("\n".join(findings))
        print(f"fuzz: {len(findings)} findings, kept in {out} (findings.txt):", flush=True)
        print("\n".join(findings))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
