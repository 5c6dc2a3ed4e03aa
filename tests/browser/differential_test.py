#!/usr/bin/env python3
"""The doctor against the real browsers: one row per registration case.

Each row registers a host under a name of its own (velmora-register-host's row under the product's
own); one headless Chromium and one Firefox session then try every name (connectNative and a
first message), and the doctor's verdict for each of the two browsers (--json) must be what that
browser did; its full text (--verbose) must say what its JSON says. Run as root, it runs
everything as the user nobody with a temporary HOME, and in a private mount namespace puts empty
folders over the browsers' system folders for the rows that need them.
"""

import argparse
import encodings.idna  # noqa: F401 (the proxy, forked as nobody, may not import it then)
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import browser_test as bt

# Run as root, the browsers, the agent and the doctor run as nobody.
USER = 65534 if os.geteuid() == 0 else None
CHROMIUM_ID = bt.Chromium.extension_id(json.loads((bt.EXTENSION_DIR / "manifest.json").read_text()))
# Each system folder a row may write, and the folder an empty one is mounted over to hold it.
SYSTEM = {"chromium": (Path("/etc/chromium"), Path("/etc/chromium/native-messaging-hosts")),
          "chrome": (Path("/etc/opt"), Path("/etc/opt/chrome/native-messaging-hosts")),
          "firefox": (Path("/usr/lib/mozilla"), Path("/usr/lib/mozilla/native-messaging-hosts")),
          "firefox in lib64": (Path("/usr/lib64"), Path("/usr/lib64/mozilla/native-messaging-hosts"))}
VERSION_MARK = None  # the sound host's own "velmora-web-host version X", read at start


def as_user():
    return None if USER is None else bt.as_user(USER)


class Case:
    """Files for one host name: manifests per browser and the programs they name."""

    def __init__(self, world, index):
        self.world = world
        self.name = f"com.velmora.diff_{index}"
        self.families = set()  # whose manifests it wrote: the exit status follows those browsers
        self.env = {}  # what the doctor's environment has besides the browsers'

    def manifest(self, family, host=None, **changed):
        key = {"chromium": "allowed_origins", "firefox": "allowed_extensions"}[family]
        allowed = [f"chrome-extension://{CHROMIUM_ID}/"] if family == "chromium" else [bt.FIREFOX_ID]
        sound = {"name": self.name, "description": "d", "path": str(host or self.world.host),
                 "type": "stdio", key: allowed}
        return {k: v for k, v in dict(sound, **changed).items() if v is not None}

    def write(self, folder, content):
        folder.mkdir(parents=True, exist_ok=True)
        data = content if isinstance(content, bytes) else json.dumps(content).encode()
        (folder / f"{self.name}.json").write_bytes(data)

    def user(self, family, content):
        folders = {"chromium": self.world.home / ".config/chromium/NativeMessagingHosts",
                   "chrome": self.world.home / ".config/google-chrome/NativeMessagingHosts",
                   "firefox": self.world.home / ".mozilla/native-messaging-hosts",
                   "firefox in XDG_CONFIG_HOME": self.world.roaming / "mozilla/native-messaging-hosts"}
        self.families.add(family.split()[0])
        self.write(folders[family], content)

    def system(self, family, content):
        self.families.add(family.split()[0])
        self.write(SYSTEM[family][1], content)

    def both(self, **changed):
        for family in ("chromium", "firefox"):
            self.user(family, self.manifest(family, **changed))

    def program(self, text, mode=0o755):
        path = self.world.scratch / "programs" / self.name
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        path.chmod(mode)
        return path


def bom(case):
    for family in ("chromium", "firefox"):
        case.user(family, b"\xef\xbb\xbf" + json.dumps(case.manifest(family)).encode())


def comment(case):
    for family in ("chromium", "firefox"):
        case.user(family, b"// the host\n" + json.dumps(case.manifest(family)).encode())


def origins(*entries):
    return lambda case: case.user("chromium", case.manifest("chromium", allowed_origins=list(entries)))


def sound_chromium_bad_firefox(host_text):
    def write(case):
        case.user("chromium", case.manifest("chromium"))
        case.user("firefox", case.manifest("firefox", host=case.program(host_text(case))))
    return write


def fallback(broken):
    def write(case):
        for family in ("chromium", "firefox"):
            case.user(family, broken(case.manifest(family)))
            case.system(family, case.manifest(family))
    return write


def system_only(**changed):
    def write(case):
        for family in ("chromium", "firefox"):
            case.system(family, case.manifest(family, **changed))
    return write


def wrapper(case):
    case.both(host=case.program(f"#!/bin/sh\nexec {case.world.host} \"$@\"\n"))


def unreadable(case):
    copy = case.program(case.world.host.read_bytes(), 0o711)
    os.chown(copy, 0, 0)  # the user may run it but not read it
    case.both(host=copy)


def padded(case):
    for family in ("chromium", "firefox"):
        case.user(family, json.dumps(case.manifest(family)).encode() + b" " * (9 << 20))


# Chromium's managed policy files that the policy rows share, as {file: {policy: [host names]}}:
# Chromium takes each policy whole from the last file in name order that sets it.
EARLY, LAST = "velmora-1.json", "velmora-2.json.disabled"
POLICIES = {EARLY: {}, LAST: {"NativeMessagingAllowlist": ["com.velmora.nobody"]}}


def policy(*entries):
    """Names the row's host in each (file, policy) given; the last file is written with a comment
    and trailing commas, which Chromium's reader for policy files takes."""
    def write(case):
        case.both()
        for file, key in zip(entries[::2], entries[1::2]):
            POLICIES[file].setdefault(key, []).append(case.name)
        folder = SYSTEM["chromium"][0] / "policies/managed"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / EARLY).write_text(json.dumps(POLICIES[EARLY]))
        lenient = json.dumps(POLICIES[LAST], indent=1).replace("]", ",]")
        (folder / LAST).write_text("// the test's policies\n" + lenient[:-2] + ",\n}")
    return write


def beside(case):
    """A wrapper that runs the host beside it by a relative path."""
    folder = case.world.scratch / "programs" / f"{case.name}-folder"
    folder.mkdir(parents=True)
    (folder / "velmora-web-host").symlink_to(case.world.host)
    (folder / "wrapper").write_text(f"#!/bin/sh\n{mark()}exec ./velmora-web-host \"$@\"\n")
    (folder / "wrapper").chmod(0o755)
    case.both(host=folder / "wrapper")


SLOW = []  # the XDG_CONFIG_HOME of each row whose agent answers the hello 3 s late


def slow_agent(case):
    """The host and the doctor reach the agent through a proxy that holds its answers back 3 s,
    by a bridge file of their own (written once the agent runs)."""
    config = case.world.scratch / f"{case.name}-config"
    SLOW.append(config)
    case.env = {"XDG_CONFIG_HOME": str(config)}
    host = case.program(f"#!/bin/sh\n{mark()}XDG_CONFIG_HOME={config} exec {case.world.host} \"$@\"\n")
    case.both(host=host)
    case.write(config / "chromium/NativeMessagingHosts", case.manifest("chromium", host=host))


def slow_proxy(port, report):
    """Relays each connection to the agent at `port`, holding the agent's first answer back 3 s;
    writes its own port to the descriptor `report` first."""
    def pump(source, sink, delay):
        try:
            while data := source.recv(65536):
                time.sleep(delay)
                delay = 0
                sink.sendall(data)
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    listener = socket.create_server(("127.0.0.1", 0))
    os.write(report, str(listener.getsockname()[1]).encode())
    os.close(report)
    while True:
        client, _ = listener.accept()
        agent = socket.create_connection(("127.0.0.1", port))
        threading.Thread(target=pump, args=(client, agent, 0), daemon=True).start()
        threading.Thread(target=pump, args=(agent, client, 3), daemon=True).start()


def start_slow_proxies(world):
    """A proxy per slow row, as the user the host runs as (the host trusts no other user's
    program), and the bridge file that leads there."""
    bridge = json.loads(world.bridge_file.read_text())
    proxies = []
    for config in SLOW:
        report, told = os.pipe()
        proxies.append(os.fork())
        if proxies[-1] == 0:
            try:
                os.close(report)
                if USER is not None:
                    as_user()()
                slow_proxy(bridge["port"], told)
            finally:
                os._exit(1)
        os.close(told)
        port = int(os.read(report, 16))
        os.close(report)
        file = config / "VelmoraAgent/web-bridge.json"
        file.parent.mkdir(parents=True)
        file.write_text(json.dumps(dict(bridge, port=port)))
        if USER is not None:
            for path in (file.parent, file):
                os.chown(path, USER, USER)
    return proxies


def registrar(case):
    """What velmora-register-host writes with its defaults: the installed host, the build's IDs
    and the product's host name."""
    case.name = os.environ["VELMORA_HOST_NAME"]
    case.families.update(("chromium", "firefox"))
    result = case.world.run_register("install", "--browser", "chromium", "--browser", "firefox")
    assert result.returncode == 0, result.stdout + result.stderr


def mark():
    return f"# {VERSION_MARK}\n"


# One row per case: what it is, how it is written, whether it needs the system folders or root,
# and text that the doctor's failure lines must then hold (the cause, named truly).
ROWS = [
    ("sound", lambda c: c.both(), {}),
    ("the registrar's own install", registrar, {}),
    ("an unknown key", lambda c: c.both(version="1.0"), {}),
    ("an add-on list entry that is no ID", lambda c: (
        c.user("chromium", c.manifest("chromium")),
        c.user("firefox", c.manifest("firefox", allowed_extensions=[bt.FIREFOX_ID, "not an id"]))), {}),
    ("allowed_origins beside allowed_extensions", lambda c: (
        c.user("chromium", c.manifest("chromium", allowed_extensions=[bt.FIREFOX_ID])),
        c.user("firefox", c.manifest("firefox", allowed_origins=[f"chrome-extension://{CHROMIUM_ID}/"]))), {}),
    ("Firefox's host dies of SIGSEGV", sound_chromium_bad_firefox(
        lambda c: f"#!/bin/sh\n{mark()}kill -SEGV $$\n"), {"cause": "SIGSEGV"}),
    ("only Chrome's folder, Chrome not installed",
     lambda c: c.user("chrome", c.manifest("chromium")), {"cause": "no installed browser"}),
    ("a wrong ID per user, sound machine-wide", fallback(
        lambda m: dict(m, allowed_origins=["chrome-extension://" + "a" * 32 + "/"])
        if "allowed_origins" in m else dict(m, allowed_extensions=["other@example.com"])),
     {"system": True}),
    ("not JSON per user, sound machine-wide", fallback(lambda m: b"{"), {"system": True}),
    ("only machine-wide", system_only(), {"system": True}),
    ("only machine-wide, with an unknown key", system_only(version="1.0"), {"system": True}),
    ("only in Chrome's system folder, Chrome not installed",
     lambda c: c.system("chrome", c.manifest("chromium")), {"system": True}),
    ("a byte-order mark", bom, {}),
    ("an origin with /*", origins(f"chrome-extension://{CHROMIUM_ID}/*"), {}),
    ("an origin in capitals", origins(f"chrome-extension://{CHROMIUM_ID.upper()}/"), {}),
    ("an extra origin", origins(f"chrome-extension://{CHROMIUM_ID}/", "chrome-extension://" + "b" * 32 + "/"), {}),
    ("a wildcard origin", origins("chrome-extension://*/"), {}),
    ("an origin without its slash", origins(f"chrome-extension://{CHROMIUM_ID}"), {}),
    ("an empty description", lambda c: c.both(description=""), {}),
    ("a leading comment", comment, {}),
    ("a host the user may run but not read", unreadable, {"root": True}),
    ("a wrapper without the version mark", wrapper, {}),
    ("a host killed by a signal", lambda c: c.both(host=c.program(f"#!/bin/sh\n{mark()}kill -SEGV $$\n")),
     {"cause": "SIGSEGV"}),
    ("garbage on the host's output", lambda c: c.both(host=c.program(
        f"#!/bin/sh\n{mark()}printf 'garbage!'\nsleep 1\n")), {"cause": "message length"}),
    ("a #! line ending in CR", lambda c: c.both(host=c.program(f"#!/bin/sh\r\n{mark()}exit 0\r\n")),
     {"cause": "carriage return"}),
    ("a Firefox manifest only in $XDG_CONFIG_HOME/mozilla", lambda c: (
        c.user("chromium", c.manifest("chromium")),
        c.user("firefox in XDG_CONFIG_HOME", c.manifest("firefox"))), {}),
    ("a manifest over 8 MiB, padded with blanks", padded, {}),
    ("a Firefox manifest only in /usr/lib64/mozilla", lambda c: (
        c.user("chromium", c.manifest("chromium")),
        c.system("firefox in lib64", c.manifest("firefox"))), {"system": True}),
    ("a wrapper without a #! line", lambda c: c.both(host=c.program(f"{mark()}exec {c.world.host} \"$@\"\n")),
     {}),
    ("a wrapper that runs ./velmora-web-host beside itself", beside, {}),
    ("an agent that answers the hello after 3 s", slow_agent, {}),
    ("a block in a policy file named .json.disabled, with a comment and trailing commas",
     policy(LAST, "NativeMessagingBlocklist"), {"system": True}),
    ("a block in an earlier policy file, whose blocklist a later file's replaces",
     policy(EARLY, "NativeMessagingBlocklist"), {"system": True}),
    ("an allow in an earlier policy file, whose allowlist a later file's replaces",
     policy(EARLY, "NativeMessagingAllowlist", LAST, "NativeMessagingBlocklist"), {"system": True}),
]


def doctor_verdicts(world, case):
    """The doctor's word per browser, and whether its text and JSON agree."""
    name = case.name
    command = [world.doctor, "--name", name, "--chromium", CHROMIUM_ID, "--firefox", bt.FIREFOX_ID]
    env = dict(world.env(), **case.env)
    run = lambda *extra: subprocess.run(command + list(extra), env=env, capture_output=True,
                                        text=True, timeout=120, preexec_fn=as_user())
    text, document = run("--verbose"), run("--json")
    checks = json.loads(document.stdout)["checks"]
    word = {"ok": "ok", "info": "info", "fail": "FAIL"}
    rendered = "".join(f"{word[c['verdict']]:<5}{c['subject']}: {c['text']}\n" for c in checks)
    agree = rendered == text.stdout and text.returncode == document.returncode
    verdicts = {}
    for browser in ("Chromium", "Firefox"):
        said = [c["text"] for c in checks if c["subject"] == browser]
        verdicts[browser] = bool(said) and said[-1] == "can use the host"
    failures = "\n".join(c["text"] for c in checks if c["verdict"] == "fail")
    return verdicts, agree, failures, text.stdout, text.returncode


def expected_status(case, linked):
    """1 when a browser the case registered the host for cannot use it, or when none can."""
    registered = {"chromium": "Chromium", "firefox": "Firefox"}
    used = [linked[b][case.name] for f, b in registered.items() if f in case.families]
    return 0 if any(linked[b][case.name] for b in linked) and all(used) else 1


def browser_outcomes(world, kind, names):
    """Whether the browser linked through each name, in one session."""
    program = shutil.which(bt.BROWSERS[kind].program)
    setting = bt.Setting(argparse.Namespace(browser=kind, program=program), world.scratch / kind,
                         home=world.home)
    setting.scratch.mkdir()
    try:
        setting.start_browser(json.loads((bt.EXTENSION_DIR / "manifest.json").read_text()), USER)
        outcome = {}
        for name in names:
            setting.server.call("connect", host=name, first={"op": "ping"})
            item = setting.server.call("receive", timeoutMs=12000)
            outcome[name] = item.get("message") == bt.LINKED
            if outcome[name]:
                setting.server.call("disconnect")
        return outcome
    finally:
        setting.close()


def mount_system_folders():
    """Empty folders over the browsers' system folders, inside this private mount namespace."""
    for folder, _ in SYSTEM.values():
        links = {entry.name: os.readlink(entry) for entry in folder.iterdir() if entry.is_symlink()}
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", str(folder)], check=True)
        for name, target in links.items():  # /usr/lib64 holds the loader's link
            os.symlink(target, folder / name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--only", nargs="*", help="only the rows whose text holds one of these")
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    root = os.geteuid() == 0
    if root and not args.in_namespace and shutil.which("unshare"):
        return subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable,
                               *sys.argv, "--in-namespace"]).returncode
    global VERSION_MARK
    scratch = Path(tempfile.mkdtemp(prefix="velmora-differential-"))
    world = bt.Setting(args, scratch)
    agent, proxies = None, []
    try:
        world.install()
        data = world.host.read_bytes()
        start = data.index(b"velmora-web-host version ")
        VERSION_MARK = data[start:data.index(b"\0", start)].decode()
        system = args.in_namespace
        if system:
            mount_system_folders()
        else:
            print("skipped: the rows with system folders need root for a private mount namespace")
        rows = [(i, row) for i, row in enumerate(ROWS)
                if (system or not row[2].get("system")) and (root or not row[2].get("root"))
                and (not args.only or any(text in row[0] for text in args.only))]
        cases = {}
        for index, (what, write, _) in rows:
            cases[index] = Case(world, index)
            write(cases[index])
        world.roaming.mkdir(parents=True, exist_ok=True)
        if root:
            for path in [scratch, *scratch.rglob("*")]:
                if path.is_symlink() or path.stat().st_mode & 0o777 != 0o711:
                    os.lchown(path, USER, USER)
        agent = subprocess.Popen([world.agent_program, "--roaming", world.roaming],
                                 env=world.env(), preexec_fn=as_user(), stdout=subprocess.DEVNULL)
        bt.wait_until(world.bridge_file.exists, 10)
        proxies = start_slow_proxies(world)
        names = [cases[i].name for i, _ in rows]
        linked = {"Chromium": browser_outcomes(world, "chromium", names),
                  "Firefox": browser_outcomes(world, "firefox", names)}
        failed = 0
        for index, (what, _, extra) in rows:
            name = cases[index].name
            verdicts, agree, failures, text, status = doctor_verdicts(world, cases[index])
            wrong = [f"{b}: the doctor says {'usable' if verdicts[b] else 'unusable'}, the browser "
                     f"{'linked' if linked[b][name] else 'did not'}" for b in verdicts
                     if verdicts[b] != linked[b][name]]
            if not agree:
                wrong.append("the text and --json differ")
            if status != expected_status(cases[index], linked):
                wrong.append(f"the doctor exits {status}, not {expected_status(cases[index], linked)}")
            if extra.get("cause") and extra["cause"] not in failures:
                wrong.append(f"no failure names the cause ({extra['cause']!r})")
            if wrong:
                failed += 1
                print(f"FAIL {what}: " + "; ".join(wrong) + "\n" + text)
            else:
                print(f"ok   {what} (Chromium {'links' if linked['Chromium'][name] else 'fails'}, "
                      f"Firefox {'links' if linked['Firefox'][name] else 'fails'})")
        print(f"{len(rows) - failed} passed, {failed} failed")
        return 1 if failed else 0
    finally:
        for pid in proxies:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        if agent:
            agent.kill()
            agent.wait()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
