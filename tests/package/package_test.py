#!/usr/bin/env python3
"""The system packages' round trip, as root.

Makes the .deb and the .rpm from the build, checks the .deb with lintian and both file lists,
installs the .deb with dpkg, runs the real-browser test in Chromium and Firefox against the
installed host with no per-user registration, then purges the package and checks that none of its
files is left. (The doctor's word on manifests in the system folders is held against the real
browsers by the differential test.) Then, with real dpkg, an administrator's changes to the
manifests in /etc against reinstall, upgrade and removal, one row each, and piuparts: install and
purge, and the upgrade from the package of an earlier commit, in a fresh Debian chroot.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HOST_NAME = os.environ["VELMORA_HOST_NAME"]
PACKAGE = "velmora-web-host"
SOURCE = Path(__file__).resolve().parents[2]
BROWSER_TEST = SOURCE / "tests" / "browser" / "browser_test.py"
SKIP = 77
MANIFEST = f"native-messaging-hosts/{HOST_NAME}.json"

# The files each package must hold, and nothing else: the programs and their manual pages, the
# manifests for a prefix, and one manifest in every browser family's system folder (Firefox's
# where the system's own 64-bit Firefox looks). Those in /etc are the administrator's to change.
CHROME, EDGE = f"/etc/opt/chrome/{MANIFEST}", f"/etc/opt/edge/{MANIFEST}"
ETC = sorted([CHROME, EDGE, f"/etc/chromium/{MANIFEST}"])
PROGRAMS = ("velmora-web-host", "velmora-agent", "velmora-doctor", "velmora-register-host")
COMMON = [*(f"/usr/bin/{program}" for program in PROGRAMS),
          *(f"/usr/share/man/man1/{program}.1.gz" for program in PROGRAMS),
          *(f"/usr/share/velmora-web-host/manifests/{b}/{HOST_NAME}.json"
            for b in ("chrome", "edge", "firefox")),
          *ETC, f"/usr/lib/waterfox/{MANIFEST}"]
EXPECTED = {
    "deb": sorted(COMMON + [f"/usr/lib/mozilla/{MANIFEST}",
                            "/usr/share/doc/velmora-web-host/copyright",
                            "/usr/share/doc/velmora-web-host/changelog.gz",
                            "/usr/share/lintian/overrides/velmora-web-host"]),
    "rpm": sorted(COMMON + [f"/usr/lib64/mozilla/{MANIFEST}"]),
}
# The upgrade piuparts tries: from the package of the last commit whose maintainer scripts wrote
# the manifests in /etc/opt, versioned below this one as a snapshot before it.
EARLIER_COMMIT = "9be6805da117bdf22928bea78e10cb7ae95b04f3"

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
    conffiles = sorted(run("dpkg-deb", "--info", str(deb), "conffiles").stdout.split())
    # fflags: c for %config, n for noreplace.
    query = run("rpm", "-qp", "--qf", "[%{FILEFLAGS:fflags} %{FILENAMES}\n]", str(rpm)).stdout
    flagged = [line.partition(" ")[::2] for line in query.splitlines()]
    configs = sorted(path for flags, path in flagged if "c" in flags)
    noreplace = sorted(path for flags, path in flagged if "n" in flags)
    if not conffiles == configs == noreplace == ETC:
        raise Failure(f"conffiles {conffiles}, %config {configs}, of them noreplace "
                      f"{noreplace}; expected {ETC} in each")
    print("ok  both packages hold exactly the expected files, those in /etc as the administrator's")


def check_lintian(deb):
    result = run("lintian", "--fail-on", "error,warning", str(deb))
    complaints = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:")]
    if result.returncode or complaints:
        raise Failure(f"lintian (status {result.returncode}):\n{result.stdout}{result.stderr}")
    print("ok  lintian: no errors or warnings")


def existing(paths):
    return sorted({path for path in paths if os.path.lexists(path)})


def dpkg(*args):
    # With no terminal: a conffile question fails the step rather than waiting.
    result = run("dpkg", *args, stdin=subprocess.DEVNULL)
    if result.returncode:
        raise Failure(f"dpkg {' '.join(args)}: {result.stdout}{result.stderr}")


def kept_by_purge(deb, paths):
    """What of paths the purge of deb must leave: all that is there now, but for the empty folders
    that deb lists and no installed package does, which dpkg takes with it (/etc/opt)."""
    def taken(path):
        return (path in listed and os.path.isdir(path) and not os.path.islink(path)
                and not os.listdir(path) and run("dpkg-query", "-S", path).returncode)
    listed = deb_entries(deb)
    return [path for path in existing(paths) if not taken(path)]


def purge_leaves_nothing(paths, before):
    dpkg("--purge", PACKAGE)
    after = existing(paths)
    if after != before:
        raise Failure(f"the purge left {sorted(set(after) - set(before))} "
                      f"and took {sorted(set(before) - set(after))}")


def upgrade_package(deb, folder):
    """The same package as a later version, to upgrade to."""
    root = folder / "root"
    subprocess.run(["dpkg-deb", "-R", str(deb), str(root)], check=True)
    control = root / "DEBIAN" / "control"
    control.write_text(re.sub(r"^Version: (.*)$", r"Version: \1+1", control.read_text(), flags=re.M))
    upgrade = folder / "upgrade.deb"
    subprocess.run(["dpkg-deb", "-b", str(root), str(upgrade)], check=True,
                   stdout=subprocess.DEVNULL)
    return upgrade


EDITED = '{"edited": "by the administrator"}\n'
EDITS = [CHROME, f"/etc/chromium/{MANIFEST}"]


def edit(path, scratch):
    Path(path).write_text(EDITED)


def link(path, scratch):
    target = scratch / Path(path).parts[2]
    target.write_text(EDITED)
    os.remove(path)
    os.symlink(target, path)


def dangle(path, scratch):
    os.remove(path)
    os.symlink(scratch / "nowhere", path)


def delete(path, scratch):
    os.remove(path)


# An administrator's change to the manifests in /etc (Chrome's and Chromium's), the dpkg steps
# after it, and what must hold after each step. The row's package is purged at its end.
ROWS = [
    ("an edit survives reinstall, upgrade and removal", edit, ("reinstall", "upgrade", "remove"),
     lambda path: not os.path.islink(path) and Path(path).read_text() == EDITED),
    ("a manifest replaced by a symlink is not written through", link, ("reinstall", "upgrade"),
     lambda path: os.path.islink(path) and Path(path).read_text() == EDITED),
    ("a dangling symlink fails no configure", dangle, ("reinstall", "upgrade"),
     lambda path: os.path.islink(path) and not os.path.exists(path)),
    ("a deleted manifest stays deleted", delete, ("reinstall", "upgrade"),
     lambda path: not os.path.lexists(path)),
    ("removal keeps an empty /etc/opt/edge that was there", None, ("remove",), os.path.isdir),
]


def administrators_rows(deb, paths):
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        upgrade = upgrade_package(deb, scratch)
        steps = {"reinstall": ("-i", str(deb)), "upgrade": ("-i", str(upgrade)),
                 "remove": ("-r", PACKAGE)}
        for what, change, row_steps, holds in ROWS:
            os.makedirs("/etc/opt", mode=0o755, exist_ok=True)  # as base-files leaves it
            before = kept_by_purge(deb, paths)
            targets = EDITS if change else ["/etc/opt/edge"]
            made = [] if change or os.path.lexists("/etc/opt/edge") else ["/etc/opt/edge"]
            for folder in made:
                os.mkdir(folder)
            try:
                dpkg("-i", str(deb))
                for path in targets if change else []:
                    change(path, scratch)
                for step in row_steps:
                    dpkg(*steps[step])
                    wrong = [path for path in targets if not holds(path)]
                    if wrong:
                        raise Failure(f"{what}: not so after the {step} for {wrong}")
            finally:
                # A purge would keep a symlink for a conffile, and the .dpkg-new that dpkg could
                # not put through it, and delete the symlink's target: the row's own to take first.
                for path in EDITS:
                    for leftover in (path, path + ".dpkg-new"):
                        if os.path.islink(leftover) or leftover.endswith(".dpkg-new"):
                            Path(leftover).unlink(missing_ok=True)
                run("dpkg", "--purge", PACKAGE)
                for folder in made:
                    shutil.rmtree(folder, ignore_errors=True)
            purge_leaves_nothing(paths, before)
            print(f"ok  dpkg: {what}")


def debian_mirror():
    """The first Debian mirror and suite in apt's sources here, one-line or deb822."""
    sources = [Path("/etc/apt/sources.list"), *sorted(Path("/etc/apt/sources.list.d").glob("*"))]
    for source in sources:
        if source.suffix not in (".list", ".sources") or not source.is_file():
            continue
        text = source.read_text()
        line = re.search(r"^deb\s+(?:\[[^]]*\]\s+)?(\S+)\s+(\S+)", text, re.M)
        uris = re.search(r"^URIs:\s*(\S+)", text, re.M)
        suites = re.search(r"^Suites:\s*(\S+)", text, re.M)
        if line:
            return line.group(1), line.group(2)
        if uris and suites:
            return uris.group(1), suites.group(1)
    raise Failure("no Debian mirror in /etc/apt/sources.list*")


def earlier_package(args):
    """The .deb of EARLIER_COMMIT, built once into the build folder with the targets it needs."""
    folder = Path(args.build_dir) / "earlier-package"
    found = sorted((folder / "build" / "packages").glob("*.deb"))
    if found:
        return found[0]
    if run("git", "-C", str(SOURCE), "cat-file", "-e", f"{EARLIER_COMMIT}^{{commit}}").returncode:
        raise Failure(f"commit {EARLIER_COMMIT} is not in this clone, and the upgrade needs it")
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "source").mkdir(parents=True)
    archive = subprocess.Popen(["git", "-C", str(SOURCE), "archive", EARLIER_COMMIT],
                               stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", str(folder / "source")], stdin=archive.stdout, check=True)
    if archive.wait():
        raise Failure(f"git archive {EARLIER_COMMIT} failed")
    version = f"0.1.0~{EARLIER_COMMIT[:7]}"
    for command in ([args.cmake, "-S", str(folder / "source"), "-B", str(folder / "build"),
                     f"-DCPACK_DEBIAN_PACKAGE_VERSION={version}",
                     # The package's own programs alone, not all the tests as well.
                     "-DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON"],
                    [args.cmake, "--build", str(folder / "build"), "--target", "packages",
                     "--parallel", "2"]):
        built = subprocess.run(command, capture_output=True, text=True, timeout=1800)
        if built.returncode:
            raise Failure(f"building the package of {EARLIER_COMMIT[:7]}:\n{built.stderr[-3000:]}")
    return the_one(folder / "build" / "packages", "deb")


def check_piuparts(args, deb):
    """Install and purge, and the upgrade from the earlier package, which a local repository
    offers to apt in the chroot."""
    mirror, suite = debian_mirror()
    with tempfile.TemporaryDirectory() as repository:
        shutil.copy(earlier_package(args), repository)
        packages = run("dpkg-scanpackages", ".", cwd=repository)
        Path(repository, "Packages").write_text(packages.stdout)
        # piuparts holds the package to blame for the /etc/opt that dpkg takes (kept_by_purge).
        result = subprocess.run(
            ["piuparts", "-d", suite, "-m", mirror, "--ignore", "/etc/opt/", "--bindmount",
             repository, "--extra-repo", f"deb [trusted=yes] file://{repository} ./", str(deb)],
            capture_output=True, text=True, timeout=900)
    log = result.stdout + result.stderr
    if result.returncode or "PASS: Installation, upgrade and purging tests." not in log:
        tail = "\n".join(log.splitlines()[-40:])
        raise Failure(f"piuparts (status {result.returncode}) passed no upgrade test:\n{tail}")
    print(f"ok  piuparts on {suite}: install and purge, and upgrade from {EARLIER_COMMIT[:7]}")


def round_trip(args):
    if run("dpkg-query", "-W", PACKAGE).returncode == 0:
        raise Failure(f"{PACKAGE} is installed already: purge it first")
    subprocess.run([args.cmake, "--build", args.build_dir, "--target", "packages"], check=True,
                   stdout=subprocess.DEVNULL, timeout=300)
    packages = Path(args.build_dir) / "packages"
    deb, rpm = the_one(packages, "deb"), the_one(packages, "rpm")
    check_lintian(deb)
    check_file_lists(deb, rpm)

    # The folders of the manifests in /etc/opt, up to /etc/opt.
    paths = [*deb_entries(deb), "/etc/opt", *(str(folder) for path in (CHROME, EDGE)
                                              for folder in (Path(path), *Path(path).parents[:2]))]
    before = kept_by_purge(deb, paths)
    try:
        dpkg("-i", str(deb))
        for browser in ("chromium", "firefox"):
            linked = subprocess.run([sys.executable, BROWSER_TEST, "--system", "--browser", browser],
                                    timeout=300)
            if linked.returncode:
                raise Failure(f"the browser test in {browser} through the installed package failed")
    finally:
        purge_leaves_nothing(paths, before)
    print("ok  dpkg --purge leaves none of the package's files or folders, and takes no other "
          "but an empty /etc/opt that no package lists")
    administrators_rows(deb, paths)
    check_piuparts(args, deb)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cmake", default="cmake")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: the package round trip installs system-wide, which needs root")
        return SKIP
    had_etc_opt = os.path.isdir("/etc/opt")
    try:
        round_trip(args)
    except (Failure, subprocess.SubprocessError, OSError) as error:
        print(f"FAIL: {error}")
        return 1
    finally:
        if had_etc_opt:  # as base-files makes it, for what this machine runs next
            os.makedirs("/etc/opt", mode=0o755, exist_ok=True)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
