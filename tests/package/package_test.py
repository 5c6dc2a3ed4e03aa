#!/usr/bin/env python3
"""The system packages' round trip, as root.

Makes the .deb and the .rpm from the build, checks the .deb with lintian and both file lists,
installs the .deb with dpkg, runs the real-browser test in Chromium and Firefox against the
installed host with no per-user registration, then purges the package and checks that none of its
files is left. (The doctor's word on manifests in the system folders is held against the real
browsers by the differential test.)
"""

import argparse
import os
import subprocess
import sys
from pathlib import Path

HOST_NAME = os.environ["VELMORA_HOST_NAME"]
PACKAGE = "velmora-web-host"
BROWSER_TEST = Path(__file__).resolve().parent.parent / "browser" / "browser_test.py"
SKIP = 77
MANIFEST = f"native-messaging-hosts/{HOST_NAME}.json"

# The files each package must hold, and nothing else: the programs and their manual pages, the
# manifests for a prefix, and one manifest in every browser family's system folder (Firefox's
# where the system's own 64-bit Firefox looks). The .deb's scripts write those in /etc/opt.
ETC_OPT = [f"/etc/opt/chrome/{MANIFEST}", f"/etc/opt/edge/{MANIFEST}"]
PROGRAMS = ("velmora-web-host", "velmora-agent", "velmora-doctor", "velmora-register-host")
COMMON = [*(f"/usr/bin/{program}" for program in PROGRAMS),
          *(f"/usr/share/man/man1/{program}.1.gz" for program in PROGRAMS),
          *(f"/usr/share/velmora-web-host/manifests/{b}/{HOST_NAME}.json"
            for b in ("chrome", "edge", "firefox")),
          f"/etc/chromium/{MANIFEST}", f"/usr/lib/waterfox/{MANIFEST}"]
EXPECTED = {
    "deb": sorted(COMMON + [f"/usr/lib/mozilla/{MANIFEST}",
                            "/usr/share/doc/velmora-web-host/copyright",
                            "/usr/share/doc/velmora-web-host/changelog.gz"]),
    "rpm": sorted(COMMON + ETC_OPT + [f"/usr/lib64/mozilla/{MANIFEST}"]),
}

class Failure(Exception):
    pass


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **options)


def the_one(folder, suffix):
    found = sorted(folder.glob(f"*.{suffix}"))
    if len(found) != 1:
        raise Failure(f"{len(found)} .{suffix} packages in {folder}, expected one")
    return found[0]


def deb_entries(deb):
    """The .deb's paths, each with whether it is a folder."""
    lines = run("dpkg-deb", "--contents", str(deb)).stdout.splitlines()
    entries = {line.split()[-1].removeprefix(".").rstrip("/"): line.startswith("d") for line in lines}
    entries.pop("", None)  # the root
    return entries


def rpm_entries(rpm):
    # --dump: path size mtime digest mode …; the mode says whether it is a folder.
    lines = run("rpm", "-qlp", "--dump", str(rpm)).stdout.splitlines()
    return {line.split()[0]: int(line.split()[4], 8) & 0o170000 == 0o040000 for line in lines}


def check_file_lists(deb, rpm):
    for kind, entries in (("deb", deb_entries(deb)), ("rpm", rpm_entries(rpm))):
        files = sorted(path for path, folder in entries.items() if not folder)
        if files != EXPECTED[kind]:
            raise Failure(f"the .{kind} holds {files}, expected {EXPECTED[kind]}")
    owned = [path for path, folder in rpm_entries(rpm).items() if folder]
    if "/etc/opt" in owned or "/usr/lib64" in owned:
        raise Failure(f"the .rpm owns the system's folders: {owned}")
    print("ok  both packages hold exactly the expected files")


def check_lintian(deb):
    result = run("lintian", "--fail-on", "error,warning", str(deb))
    complaints = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:")]
    if result.returncode or complaints:
        raise Failure(f"lintian (status {result.returncode}):\n{result.stdout}{result.stderr}")
    print("ok  lintian: no errors or warnings")


def existing(paths):
    return sorted({path for path in paths if os.path.lexists(path)})


def round_trip(args):
    if run("dpkg-query", "-W", PACKAGE).returncode == 0:
        raise Failure(f"{PACKAGE} is installed already: purge it first")
    subprocess.run([args.cmake, "--build", args.build_dir, "--target", "packages"], check=True,
                   stdout=subprocess.DEVNULL, timeout=300)
    packages = Path(args.build_dir) / "packages"
    deb, rpm = the_one(packages, "deb"), the_one(packages, "rpm")
    check_lintian(deb)
    check_file_lists(deb, rpm)

    # The folders of the manifests in /etc/opt, up to /etc/opt, which must stay.
    paths = [*deb_entries(deb), "/etc/opt",
             *(str(folder) for path in ETC_OPT for folder in (Path(path), *Path(path).parents[:2]))]
    before = existing(paths)
    try:
        installed = run("dpkg", "-i", str(deb))
        if installed.returncode:
            raise Failure(f"dpkg -i: {installed.stdout}{installed.stderr}")
        if existing(ETC_OPT) != sorted(ETC_OPT):
            raise Failure(f"dpkg -i wrote only {existing(ETC_OPT)} of {ETC_OPT}")
        for browser in ("chromium", "firefox"):
            linked = subprocess.run([sys.executable, BROWSER_TEST, "--system", "--browser", browser],
                                    timeout=300)
            if linked.returncode:
                raise Failure(f"the browser test in {browser} through the installed package failed")
    finally:
        purged = run("dpkg", "--purge", PACKAGE)
    if purged.returncode:
        raise Failure(f"dpkg --purge: {purged.stdout}{purged.stderr}")
    after = existing(paths)
    if after != before:
        raise Failure(f"the purge left {sorted(set(after) - set(before))} "
                      f"and took {sorted(set(before) - set(after))}")
    print("ok  dpkg --purge leaves none of the package's files or folders, and takes no other")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cmake", default="cmake")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: the package round trip installs system-wide, which needs root")
        return SKIP
    try:
        round_trip(args)
    except (Failure, subprocess.SubprocessError, OSError) as error:
        print(f"FAIL: {error}")
        return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
