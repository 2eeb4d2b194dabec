#!/usr/bin/env python3
"""What the mass-change tripwire counts in bulk work people do, and in an attack.

For each workload: a home of its own in a scratch folder, the workload run under inotifywait, and
each path's events taken together the way the watch hands them to the tripwire. A path counts when
something was renamed onto it, or when it was written without being made anew (a file made anew,
as git and tar make them after removing the old one, or as a copy or an import makes them, never
counts). A counted file "looks encrypted" when its first 64 KiB hold more than 7.6 bits per byte
and it does not start with the signature of a zip archive (office documents), a JPEG, a PNG or a PDF
(the tripwire knows more formats; these are the ones the workloads write).

    bench/tripwire-workloads.py [--scale 1.0]

Prints one table row per workload: files before, made anew, counted, looking encrypted, and the
counted share of the home. Needs inotifywait, git, tar, openssl, rsync and sed.
"""
import argparse
import math
import os
import random
import shutil
import subprocess
import tempfile
import zipfile


def entropy(path):
    with open(path, "rb") as f:
        data = f.read(64 * 1024)
    if len(data) < 1024:
        return 0.0
    counts = [0] * 256
    for b in data:
        counts[b] += 1
    n = len(data)
    return -sum(c / n * math.log2(c / n) for c in counts if c)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def run(*argv, cwd):
    subprocess.run(argv, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def documents(home, count, rng):
    for i in range(count):
        write(f"{home}/Documents/folder {i // 100}/note {i}.txt",
              (f"Minutes {i}: " + " ".join(rng.choice(["budget", "plan", "meeting", "draft", "review"])
                                           for _ in range(200)) + "\n").encode())


def git_checkout(home, scale, rng):
    repo = f"{home}/src/project"
    files = int(3000 * scale)
    for i in range(files):
        write(f"{repo}/module {i // 100}/unit {i}.c", f"int version_{i} = 1;\n".encode())
    git = ["git", "-c", "user.name=A", "-c", "user.email=a@example.org"]
    run(*git, "init", "-q", "-b", "main", cwd=repo)
    run(*git, "add", "-A", cwd=repo)
    run(*git, "commit", "-q", "-m", "one", cwd=repo)
    run(*git, "checkout", "-q", "-b", "two", cwd=repo)
    for i in range(files):
        write(f"{repo}/module {i // 100}/unit {i}.c", f"int version_{i} = 2;\n".encode())
    run(*git, "commit", "-q", "-a", "-m", "two", cwd=repo)
    run(*git, "checkout", "-q", "main", cwd=repo)
    return lambda: run(*git, "checkout", "-q", "two", cwd=repo)


def tar_archive(home, scale, rng, over_existing):
    outside = home + ".outside"
    for i in range(int(10000 * scale)):
        write(f"{outside}/unpacked/dir {i // 500}/file {i}.c", f"int x_{i};\n".encode())
    run("tar", "cf", f"{outside}/archive.tar", "unpacked", cwd=outside)
    if over_existing:
        run("tar", "xf", f"{outside}/archive.tar", cwd=home)
    return lambda: run("tar", "xf", f"{outside}/archive.tar", cwd=home)


def photo_import(home, scale, rng):
    camera = home + ".camera"
    for i in range(int(1000 * scale)):
        write(f"{camera}/IMG_{i:04}.JPG", b"\xFF\xD8\xFF\xE0" + rng.randbytes(200 * 1024))
    return lambda: shutil.copytree(camera, f"{home}/Pictures/Import")


def sed_in_place(home, scale, rng):
    documents(home, int(2000 * scale), rng)
    targets = [f"{home}/Documents/folder {i // 100}/note {i}.txt" for i in range(0, int(2000 * scale), 2)]
    return lambda: run("sed", "-i", "s/budget/Budget/", *targets, cwd=home)


def office_saves(home, scale, rng):
    count = int(200 * scale)
    for i in range(count):
        with zipfile.ZipFile(f"{home}/Report {i}.odt", "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("content.xml", rng.randbytes(30000))

    def save():
        for i in range(count):
            temp = f"{home}/lu{i}.tmp"
            with zipfile.ZipFile(temp, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("content.xml", rng.randbytes(30000))
            os.replace(temp, f"{home}/Report {i}.odt")
    return save


def sync_client(home, scale, rng):
    documents(home, int(2000 * scale), rng)
    newer = home + ".newer"
    shutil.copytree(f"{home}/Documents", newer)
    for i in range(0, int(2000 * scale), 10):
        with open(f"{newer}/folder {i // 100}/note {i}.txt", "a") as f:
            f.write("edited elsewhere\n")
    return lambda: run("rsync", "-a", f"{newer}/", f"{home}/Documents/", cwd=home)


def ransomware(home, scale, rng):
    documents(home, int(2000 * scale), rng)
    victims = [f"{home}/Documents/folder {i // 100}/note {i}.txt" for i in range(int(2000 * scale))
               if i % 10 < 3]

    def encrypt():
        for path in victims:
            run("openssl", "enc", "-aes-256-cbc", "-pbkdf2", "-pass", "pass:ransom", "-in", path, "-out",
                path + ".x", cwd=home)
            os.replace(path + ".x", path)
    return encrypt


WORKLOADS = [
    ("git checkout of a branch that changes every file of 3,000", git_checkout),
    ("tar x of 10,000 files", lambda h, s, r: tar_archive(h, s, r, False)),
    ("tar x of the same 10,000 files over themselves", lambda h, s, r: tar_archive(h, s, r, True)),
    ("a 1,000-photo import", photo_import),
    ("sed -i over 1,000 of 2,000 notes", sed_in_place),
    ("200 office documents saved (through a temporary name)", office_saves),
    ("a sync client brings 200 of 2,000 notes changed elsewhere", sync_client),
    ("30 % of 2,000 notes encrypted in place (openssl enc)", ransomware),
]


def looks_encrypted(path):
    with open(path, "rb") as f:
        head = f.read(8)
    if head.startswith((b"PK\x03\x04", b"\xFF\xD8\xFF", b"\x89PNG", b"%PDF")):
        return False
    return entropy(path) > 7.6


def watched(home, act):
    """Runs act under inotifywait; returns {path: set of events}."""
    log = home + ".events"
    watch = subprocess.Popen(["inotifywait", "-m", "-r", "-q", "--format", "%e|%w%f", "-o", log, home],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # inotifywait says nothing once its watches are set (-q): give it the time to set them.
    subprocess.run(["sleep", "2"])
    act()
    subprocess.run(["sleep", "1"])
    watch.terminate()
    watch.wait()
    events = {}
    with open(log, "rb") as f:
        for line in f.read().decode(errors="replace").splitlines():
            kinds, _, path = line.partition("|")
            events.setdefault(path, set()).update(kinds.split(","))
    return events


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    rng = random.Random(7)
    print("| workload | files before | made anew | counted | looking encrypted | counted share |")
    print("| --- | ---: | ---: | ---: | ---: | ---: |")
    for title, prepare in WORKLOADS:
        scratch = tempfile.mkdtemp(prefix="zh-tripwire-")
        try:
            home = f"{scratch}/home"
            os.makedirs(home)
            act = prepare(home, args.scale, rng)
            before = sum(len(files) for _, _, files in os.walk(home))
            events = watched(home, act)
            files = {p: e for p, e in events.items() if "ISDIR" not in e and os.path.isfile(p)}
            made = [p for p, e in files.items() if "CREATE" in e and "MOVED_TO" not in e]
            counted = [p for p, e in files.items()
                       if "MOVED_TO" in e or (("MODIFY" in e or "CLOSE_WRITE" in e) and "CREATE" not in e)]
            encrypted = sum(1 for p in counted if looks_encrypted(p))
            share = 100.0 * len(counted) / max(1, before)
            print(f"| {title} | {before} | {len(made)} | {len(counted)} | {encrypted} | {share:.0f} % |",
                  flush=True)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
