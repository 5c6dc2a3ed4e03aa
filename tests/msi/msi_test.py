#!/usr/bin/env python3
"""The per-user and the per-machine MSI under Wine, in a fresh prefix of its own.

First, on the prefix's Windows 7, the package must refuse to install. Then, on Windows 10, for
each package in turn: installs its older version, then the current one over it with the sample
agent (a major upgrade leaves one product), and checks what a browser relies on: each browser's key
names a manifest, the manifest's path leads to the installed host, and that host links to the
installed agent. Then it uninstalls and checks that the prefix holds no file, folder or key more
than before. Prints how long msiexec takes. Every wait is bounded.
"""
import argparse
import fnmatch
import json
import os
import pathlib
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time

NAME = os.environ["VELMORA_HOST_NAME"]  # cmake/Product.cmake's, from the build
# Each browser's key under the package's root, and the manifest that its default value must name.
KEYS = {
    rf"Software\Google\Chrome\NativeMessagingHosts\{NAME}": f"{NAME}.json",
    rf"Software\Chromium\NativeMessagingHosts\{NAME}": f"{NAME}.json",
    rf"Software\Microsoft\Edge\NativeMessagingHosts\{NAME}": f"{NAME}.json",
    rf"Software\Mozilla\NativeMessagingHosts\{NAME}": f"{NAME}.firefox.json",
}
# Left behind by Windows Installer itself, not by a package: its empty cache folder and the
# parents of its bookkeeping keys. The agent's bridge file is the agent's own.
OWN_LEFTOVERS = ("windows/Installer", "users/*/AppData/Roaming/VelmoraAgent",
                 r"Software\Microsoft\Installer", r"Software\Classes\Installer",
                 r"Software\Microsoft\Windows\CurrentVersion\Installer")


class Package:
    """One MSI variant: where its keys go and where Windows Installer books it."""

    def __init__(self, msi, older_msi, root):
        self.msi, self.older_msi, self.root = msi, older_msi, root
        self.upgrade_codes = (r"HKCU\Software\Microsoft\Installer\UpgradeCodes" if root == "HKCU"
                              else r"HKLM\Software\Classes\Installer\UpgradeCodes")

    def keys(self):
        return {rf"{self.root}\{key}": manifest for key, manifest in KEYS.items()}


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


class Wine:
    def __init__(self, loader, prefix):
        self.loader, self.prefix = loader, prefix
        self.env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all")

    def run(self, *args, timeout=120, extra_env=None):
        # Output goes through a file: a wineserver that this command starts keeps a pipe open.
        with tempfile.TemporaryFile("w+", encoding="utf-8", errors="replace") as output:
            result = subprocess.run([self.loader, *args], env=dict(self.env, **(extra_env or {})),
                                    stdout=output, stderr=subprocess.STDOUT, timeout=timeout)
            output.seek(0)
            result.stdout = output.read()
        return result

    def server(self, option):
        subprocess.run([pathlib.Path(self.loader).parent / "wineserver", option], env=self.env,
                       timeout=60, check=True)

    def unix_path(self, windows_path):
        drive, rest = windows_path.split(":", 1)
        return self.prefix / "dosdevices" / f"{drive.lower()}:" / rest.replace("\\", "/").lstrip("/")

    def msiexec(self, *args):
        start = time.monotonic()
        result = self.run("msiexec", *args, "/qn")
        seconds = time.monotonic() - start
        check(result.returncode == 0, f"msiexec {' '.join(args)} failed: {result.returncode}")
        print(f"msiexec {args[0]} {pathlib.PureWindowsPath(args[1]).name}: {seconds:.2f} s")

    def default_value(self, key):
        """The key's default value, or None when there is no such key."""
        return self.value(key, "/ve")

    def value(self, key, *which):
        result = self.run("reg", "query", key, *which)
        for line in result.stdout.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                return parts[1], parts[2]
        return None

    def value_names(self, key):
        result = self.run("reg", "query", key)
        return [line.split()[0] for line in result.stdout.splitlines() if "REG_" in line]


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def msi_property(msi, name):
    table = subprocess.run(["msiinfo", "export", str(msi), "Property"], capture_output=True,
                           text=True, check=True).stdout
    return dict(line.split("\t", 1) for line in table.splitlines() if "\t" in line)[name]


def packed_guid(guid):
    """A GUID as Windows Installer writes it in its registry keys."""
    hex_ = guid.strip("{}").replace("-", "")
    swapped = "".join(hex_[i + 1] + hex_[i] for i in range(16, 32, 2))
    return hex_[7::-1] + hex_[11:7:-1] + hex_[15:11:-1] + swapped


def snapshot(wine):
    """Every path under drive_c and every key of HKCU and HKLM (read once the server has saved
    them)."""
    wine.server("-w")
    drive_c = wine.prefix / "drive_c"
    files = {str(p.relative_to(drive_c)) for p in drive_c.rglob("*")}
    keys = set()
    for hive in ("user.reg", "system.reg"):
        lines = (wine.prefix / hive).read_text(encoding="utf-8", errors="replace").splitlines()
        keys |= {line[1:line.index("]")].replace("\\\\", "\\") for line in lines if line.startswith("[")}
    return files, keys


def leftovers(before, after):
    def own(item):
        return any(fnmatch.fnmatchcase(item, pattern + tail) for pattern in OWN_LEFTOVERS
                   for tail in ("", "/*", "\\*"))
    return sorted(item for item in after - before if not own(item))


class Host:
    """The installed host, started under Wine with a browser's arguments, frames on its pipes."""

    def __init__(self, wine, exe, origin):
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen([wine.loader, str(exe), origin, "--parent-window=0"],
                                        env=wine.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.errors)

    def send(self, message):
        self.process.stdin.write(struct.pack("<I", len(message)) + message)
        self.process.stdin.flush()

    def read(self, count, timeout):
        data, deadline = b"", time.monotonic() + timeout
        while len(data) < count:
            ready, _, _ = select.select([self.process.stdout], [], [], deadline - time.monotonic())
            chunk = os.read(self.process.stdout.fileno(), count - len(data)) if ready else b""
            check(chunk, f"the host sent {len(data)} of {count} bytes within {timeout} s")
            data += chunk
        return data

    def expect(self, message, timeout=30):
        (length,) = struct.unpack("<I", self.read(4, timeout))
        check(length <= 1 << 20, f"the host announced a frame of {length} bytes")
        got = self.read(length, timeout)
        check(got == message, f"the host sent {got!r}, not {message!r}")

    def expect_end(self, timeout=30):
        self.process.stdin.close()
        status = self.process.wait(timeout)
        self.errors.seek(0)
        check(status == 0, f"the host ended with {status}: {self.errors.read()!r}")


def installed_host(wine, package, chromium_ids, firefox_ids):
    """Checks the keys and manifests; returns the host that the manifests lead to."""
    allowed = {f"{NAME}.json": ("allowed_origins", [f"chrome-extension://{i}/" for i in chromium_ids]),
               f"{NAME}.firefox.json": ("allowed_extensions", firefox_ids)}
    hosts = set()
    for key, manifest_name in package.keys().items():
        manifest_path = (wine.default_value(key) or (None, None))[1]
        check(manifest_path, f"no default value at {key}")
        manifest_file = wine.unix_path(manifest_path)
        check(manifest_file.name == manifest_name and manifest_file.is_file(),
              f"{key} names {manifest_path}, not an installed {manifest_name}")
        manifest = json.loads(manifest_file.read_text(encoding="utf-8"))
        field, ids = allowed[manifest_name]
        check(manifest["name"] == NAME and manifest["type"] == "stdio" and manifest[field] == ids,
              f"{manifest_file} is not the manifest for {ids}: {manifest}")
        # A relative path is taken from the manifest's own folder, as Windows browsers do.
        host = manifest_file.parent / manifest["path"].replace("\\", "/")
        check(host.is_file(), f"{manifest_file} names {manifest['path']}, which is not installed")
        hosts.add(host.resolve())
    check(len(hosts) == 1, f"the manifests name different hosts: {hosts}")
    return hosts.pop()


def link_round_trip(wine, host, origin):
    """The installed host starts the installed agent, then relays to it."""
    launcher = Host(wine, host, origin)
    launcher.send(b'{"op":"launch"}')
    launcher.expect(b'{"launched":true,"ok":true}')
    launcher.expect_end()
    relay = Host(wine, host, origin)
    relay.expect(b'{"op":"linked"}')
    text = '{"text":"Grüße, 世界"}'.encode()
    relay.send(text)
    relay.expect(text)
    relay.expect_end()


SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


def chrome_way(wine, host, driver):
    """The installed host as Chrome starts it (cmd.exe with named pipes), by the launch tests'
    driver, with the roaming folder taken from VELMORA_TEST_ROAMING as in the test prefix."""
    kind, roaming = wine.value(SHELL_FOLDERS, "/v", "AppData")
    wine.run("reg", "add", SHELL_FOLDERS, "/v", "AppData", "/t", "REG_EXPAND_SZ",
             "/d", "%VELMORA_TEST_ROAMING%", "/f")
    try:
        installed = "C:\\" + str(host.relative_to(wine.prefix / "drive_c")).replace("/", "\\")
        result = wine.run(windows_path(driver), "--gtest_filter=ChromeWay.*",
                          extra_env={"VELMORA_TEST_HOST": installed})
        check(result.returncode == 0, f"Chrome's way failed with the installed host:\n{result.stdout}")
    finally:
        wine.run("reg", "add", SHELL_FOLDERS, "/v", "AppData", "/t", kind, "/d", roaming, "/f")


CHROME_KEY = rf"Software\Google\Chrome\NativeMessagingHosts\{NAME}"
POLICIES = r"HKCU\Software\Policies"
MACHINE_POLICY = r"HKLM\Software\Policies\Google\Chrome"
USER_POLICY = rf"{POLICIES}\Google\Chrome"
SYSTEM_POLICY = r"Software\Policies\Microsoft\Windows\System"  # DisableCMD's, in HKCU or HKLM
# The trees that rows may make, outermost first: those missing before are removed after each row.
TREES = (r"HKLM\Software\Google", r"HKLM\Software\Policies", r"HKLM\Software\Policies\Google",
         r"HKLM\Software\Policies\Microsoft", rf"HKLM\{SYSTEM_POLICY}", POLICIES, rf"{POLICIES}\Google",
         rf"{POLICIES}\Microsoft", rf"HKCU\{SYSTEM_POLICY}")


def missing_trees(wine):
    """The outermost of TREES that are not there (a fresh prefix has HKLM's Policies only)."""
    made = []
    for tree in TREES:
        if not any(tree.startswith(outer + "\\") for outer in made) and \
                wine.run("reg", "query", tree).returncode != 0:
            made.append(tree)
    return made


def undo_policies(wine, made):
    for tree in made:
        wine.run("reg", "delete", tree, "/f")


def disable_cmd(root, value):
    return ("add", rf"{root}\{SYSTEM_POLICY}", "/v", "DisableCMD", "/t", "REG_DWORD", "/d", value)


def launch_directly(where, value="1"):
    return ("add", where, "/v", "NativeHostsExecutablesLaunchDirectly", "/t", "REG_DWORD", "/d", value)


def reg(*args):
    """Damage done by reg.exe; KEY stands for Chrome's key under the package's root."""
    return lambda wine, key, manifest: wine.run("reg", *(key if a == "KEY" else a for a in args), "/f")


def edit(change):
    """Damage done to the manifest that Chrome's key names, from its bytes."""
    return lambda wine, key, manifest: manifest.write_bytes(change(manifest.read_bytes()))


def all_of(*damages):
    return lambda *on: [damage(*on) for damage in damages]


def fields(**changed):
    return edit(lambda text: json.dumps(dict(json.loads(text), **changed)).encode())


def crashing_host(wine, key, manifest):
    """A host that ends as a crash does, with the NTSTATUS of an access violation."""
    batch = pathlib.Path(tempfile.gettempdir()) / "velmora-crashing-host.bat"
    batch.write_text("@exit /b -1073741819\r\n")
    fields(path=windows_path(batch))(wine, key, manifest)


# Each damage, whether it breaks only a per-user registration, and what every failure line must
# then say (KEY: Chrome's key; MANIFEST: the manifest it names).
BROKEN = [
    ("the user-level policy set", reg("add", rf"{POLICIES}\Google\Chrome", "/v",
                                      "NativeMessagingUserLevelHosts", "/t", "REG_DWORD", "/d", "0"),
     True, ["KEY", "NativeMessagingUserLevelHosts"]),
    ("a key to a missing file", reg("add", "KEY", "/ve", "/d", r"C:\nowhere\x.json"), False,
     [r"C:\nowhere\x.json"]),
    # Chrome passes over such a key, and finds nothing after it.
    ("a key without a value", reg("delete", "KEY", "/ve"), False, ["no installed browser"]),
    ("UTF-16 text", edit(lambda text: text.decode("utf-8").encode("utf-16")), False,
     ["MANIFEST", "UTF-16"]),
    ("another name", fields(name="com.other"), False, ["MANIFEST", '"name" is "com.other"']),
    ("a missing host", fields(path=r"C:\nowhere\velmora-web-host.exe"), False,
     ["MANIFEST", r"C:\nowhere\velmora-web-host.exe"]),
    ("no allowed origin", fields(allowed_origins=[]), False, ["MANIFEST", "does not allow"]),
    ("a host that crashes", crashing_host, False, ["crashed (access violation, 0xC0000005)"]),
    # Chrome starts hosts through cmd.exe, which DisableCMD forbids.
    ("DisableCMD=1 for the user", reg(*disable_cmd("HKCU", "1")), False,
     [rf"DisableCMD=1 at HKCU\{SYSTEM_POLICY}", rf"NativeHostsExecutablesLaunchDirectly to 1 at {MACHINE_POLICY}"]),
    ("DisableCMD=2 for the machine", reg(*disable_cmd("HKLM", "2")), False,
     [rf"DisableCMD=2 at HKLM\{SYSTEM_POLICY}", "NativeHostsExecutablesLaunchDirectly"]),
    ("DisableCMD, the launch-directly policy 0 for the machine over 1 for the user",
     all_of(reg(*disable_cmd("HKCU", "1")), reg(*launch_directly(MACHINE_POLICY, "0")),
            reg(*launch_directly(USER_POLICY))), False, ["DisableCMD=1"]),
]


def doctor_checks(wine, package, host):
    """The installed doctor passes the installed host and names each broken registration, with a
    stand-in for Chrome's program: a browser that is not installed passes nothing."""
    chrome = wine.prefix / "drive_c/Program Files/Google/Chrome/Application/chrome.exe"
    chrome.parent.mkdir(parents=True)
    chrome.write_bytes(b"")
    try:
        judge_registrations(wine, package, host)
    finally:
        shutil.rmtree(wine.prefix / "drive_c/Program Files/Google")


def judge_registrations(wine, package, host):
    doctor = host.parent / "velmora-doctor.exe"
    result = wine.run(str(doctor))
    # After the link it names the browsers' limit, the cause when a port closes later.
    check(result.returncode == 0 and "linked with the agent" in result.stdout
          and "1 MiB" in result.stdout and f"registered at {package.root}" in result.stdout,
          f"the doctor failed the installed host ({result.returncode}):\n{result.stdout}")
    print(result.stdout, end="")
    key = rf"{package.root}\{CHROME_KEY}"
    manifest = wine.default_value(key)[1]
    manifest_file = wine.unix_path(manifest)
    sound = manifest_file.read_bytes()
    made = missing_trees(wine)
    for what, damage, user_only, named in BROKEN:
        if user_only and package.root != "HKCU":
            continue
        damage(wine, key, manifest_file)
        result = wine.run(str(doctor))
        undo_policies(wine, made)
        wine.run("reg", "add", key, "/ve", "/d", manifest, "/f")
        manifest_file.write_bytes(sound)
        # The report indents a browser's checks under its verdict.
        failed = [line.strip() for line in result.stdout.splitlines()
                  if line.strip().startswith("FAIL")]
        # Registry paths are not case-sensitive; the doctor writes SOFTWARE as HKLM names it.
        named = [{"KEY": key, "MANIFEST": manifest}.get(part, part).lower() for part in named]
        # The first failure is the damage; "no installed browser …" may follow it.
        check(result.returncode == 1 and failed
              and all(part in failed[0].lower() for part in named),
              f"with {what} the doctor said ({result.returncode}):\n{result.stdout}")
    if package.root == "HKCU":
        usable_registrations(wine, doctor, key, manifest, manifest_file, sound)
    print("the installed doctor passes the installed host and names each broken registration")


def policy(where, value):
    return ("reg", "add", where, "/v", "NativeMessagingUserLevelHosts", "/t", "REG_DWORD", "/d", value)


# Registrations that Chrome can use although they look odd, with the per-user package installed
# (HKLM_KEY: the same key under HKLM, naming the same manifest): the doctor must pass each.
USABLE = [
    ("a per-user key with a REG_DWORD default beside a sound machine key",
     [("reg", "add", "HKLM_KEY", "/ve", "/d", "MANIFEST"),
      ("reg", "add", "KEY", "/ve", "/t", "REG_DWORD", "/d", "1")]),
    ("the user-level policy 0, registered per user and per machine",
     [("reg", "add", "HKLM_KEY", "/ve", "/d", "MANIFEST"), policy(MACHINE_POLICY, "0")]),
    ("the user-level policy 1 for the machine, 0 for the user", [
        policy(MACHINE_POLICY, "1"), policy(USER_POLICY, "0")]),
    ("a manifest of 2 MB", []),
    ("DisableCMD=1 for the user, Chrome's launch-directly policy for the machine",
     [("reg", *disable_cmd("HKCU", "1")), ("reg", *launch_directly(MACHINE_POLICY))]),
    ("DisableCMD=2 for the machine, Chrome's launch-directly policy for the user",
     [("reg", *disable_cmd("HKLM", "2")), ("reg", *launch_directly(USER_POLICY))]),
]


def usable_registrations(wine, doctor, key, manifest, manifest_file, sound):
    machine_key = "HKLM" + key[key.index("\\"):]
    made = missing_trees(wine)
    for what, commands in USABLE:
        if not commands:
            padded = dict(json.loads(sound), description="x" * (2 << 20))
            manifest_file.write_bytes(json.dumps(padded).encode())
        for command in commands:
            names = {"KEY": key, "HKLM_KEY": machine_key, "MANIFEST": manifest}
            wine.run(*(names.get(part, part) for part in command), "/f")
        result = wine.run(str(doctor))
        wine.run("reg", "delete", machine_key, "/f")
        undo_policies(wine, made)
        wine.run("reg", "add", key, "/ve", "/d", manifest, "/f")
        manifest_file.write_bytes(sound)
        check(result.returncode == 0, f"with {what} the doctor said ({result.returncode}):\n"
              f"{result.stdout}")


def installed_products(wine, package):
    upgrade_code = msi_property(package.msi, "UpgradeCode")
    return wine.value_names(rf"{package.upgrade_codes}\{packed_guid(upgrade_code)}")


def refused_before_windows_10(wine, msi):
    """The prefix starts as Windows 7: the package must refuse it. Wine does not show or log a
    launch condition's message, so the test reads it from the package."""
    result = wine.run("msiexec", "/i", windows_path(msi), "/qn")
    check(result.returncode != 0 and wine.value_names(r"HKCU\Software\Velmora\WebHost") == [],
          f"installed on Windows 7 (status {result.returncode})")
    conditions = subprocess.run(["msiinfo", "export", str(msi), "LaunchCondition"],
                                capture_output=True, text=True, check=True).stdout
    check("Velmora Web Host needs Windows 10 or later." in conditions, f"no message: {conditions}")
    check(wine.run("winecfg", "/v", "win10").returncode == 0, "winecfg failed")
    print("the package refuses Windows 7")


def round_trip(args, wine, package):
    before = snapshot(wine)
    wine.msiexec("/i", windows_path(package.older_msi))
    names = wine.value_names(rf"{package.root}\Software\Velmora\WebHost")
    check("SampleAgent" not in names, "the sample agent was installed without being asked for")
    wine.msiexec("/i", windows_path(package.msi), "ADDLOCAL=SampleAgent")
    product = packed_guid(msi_property(package.msi, "ProductCode"))
    check(installed_products(wine, package) == [product],
          f"not the one product {product} after the upgrade: {installed_products(wine, package)}")

    host = installed_host(wine, package, args.chromium_ids, args.firefox_ids)
    for built in (args.host, args.agent, args.doctor):
        installed = host.parent / built.name
        check(installed.is_file() and installed.read_bytes() == built.read_bytes(),
              f"{installed} is not the built {built.name}")
    link_round_trip(wine, host, f"chrome-extension://{args.chromium_ids[0]}/")
    doctor_checks(wine, package, host)
    chrome_way(wine, host.resolve(), args.launch_driver)

    wine.server("-k")  # the agent must not be running while it is removed, as on Windows
    wine.msiexec("/x", windows_path(package.msi))
    for key in package.keys():
        check(wine.default_value(key) is None, f"{key} is still there after uninstalling")
    check(not installed_products(wine, package), "the product is still registered")
    after = snapshot(wine)
    left = leftovers(before[0], after[0]) + leftovers(before[1], after[1])
    check(not left, f"left after uninstalling: {left}")


def run(args, wine):
    shutil.rmtree(wine.prefix, ignore_errors=True)
    check(wine.run("wineboot", "--init").returncode == 0, "wineboot failed")
    refused_before_windows_10(wine, args.msi)
    for package in (Package(args.msi, args.older_msi, "HKCU"),
                    Package(args.machine_msi, args.older_machine_msi, "HKLM")):
        round_trip(args, wine, package)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loader", required=True, help="Wine's wine64 loader")
    parser.add_argument("--prefix", type=pathlib.Path, required=True, help="made afresh")
    parser.add_argument("--msi", type=pathlib.Path, required=True)
    parser.add_argument("--older-msi", type=pathlib.Path, required=True)
    parser.add_argument("--machine-msi", type=pathlib.Path, required=True)
    parser.add_argument("--older-machine-msi", type=pathlib.Path, required=True)
    parser.add_argument("--host", type=pathlib.Path, required=True, help="the built host")
    parser.add_argument("--agent", type=pathlib.Path, required=True, help="the built agent")
    parser.add_argument("--doctor", type=pathlib.Path, required=True, help="the built doctor")
    parser.add_argument("--launch-driver", type=pathlib.Path, required=True,
                        help="the Windows launch tests' driver")
    parser.add_argument("--chromium-ids", nargs="+", required=True)
    parser.add_argument("--firefox-ids", nargs="+", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the prefix")
    return round_trips(parser.parse_args())


def round_trips(args):
    """The whole test for the packages in `args` (as main's options); 0 when they pass."""
    wine = Wine(args.loader, args.prefix.resolve())
    try:
        run(args, wine)
    except (Failure, subprocess.TimeoutExpired) as failure:
        print(f"FAILED: {failure} (prefix kept: {wine.prefix})", file=sys.stderr)
        return 1
    finally:
        subprocess.run([pathlib.Path(args.loader).parent / "wineserver", "-k"], env=wine.env)
    if not args.keep:
        shutil.rmtree(wine.prefix, ignore_errors=True)
    print("both MSIs install, upgrade, link and uninstall cleanly")
    return 0


if __name__ == "__main__":
    sys.exit(main())
