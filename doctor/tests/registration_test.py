#!/usr/bin/env python3
"""velmora-doctor against velmora-register-host in a temporary home, with the sample agent.

First the registrar alone: which browsers it registers for, and that uninstalling removes exactly
what it wrote. Then the doctor: a sound registration exits 0 and names the 1 MiB limit after the
link; each broken one exits 1 and names the broken file. Chromium and Firefox must be installed
(scripts/setup.sh installs them): a browser that is not installed passes nothing.
"""
import argparse
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# What is done to Chromium's manifest, and what the doctor's one failure line must then say
# (FILE: that manifest).
BROKEN = [
    ("an empty description", lambda m: dict(m, description=""), ["FILE", '"description"']),
    ("another name", lambda m: dict(m, name="com.other"), ["FILE", '"name" is "com.other"']),
    ("a relative path", lambda m: dict(m, path="velmora-web-host"), ["FILE", "relative"]),
    ("a missing host", lambda m: dict(m, path="/nonexistent/velmora-web-host"),
     ["FILE", "/nonexistent/"]),
    ("another program", lambda m: dict(m, path="/bin/sh"), ["host run: /bin/sh (for Chromium)"]),
    ("no allowed origin", lambda m: dict(m, allowed_origins=[]), ["FILE", "does not allow"]),
    ("not JSON", lambda m: b"{", ["FILE", "not a JSON object"]),
]


# velmora-register-host on its own: what it is given (ID, ADDON, HOST and HOME stand for the
# build's IDs, the host and the home folder), a fake browser program put on PATH, its status, the
# per-user folders it then wrote (below HOME) or their number, words of its output, and what is
# done before the install (and a first install) and between it and the uninstall, which must
# leave exactly what was there and what was done.
# Chromium and Firefox are installed here, so they are found too.
CHROMIUM = ".config/chromium/NativeMessagingHosts"
FIREFOX = ".mozilla/native-messaging-hosts"
TOR = ("Tor Browser keeps its manifest folder inside its own bundle: "
       "TorBrowser/Data/Browser/.mozilla/native-messaging-hosts")
IDS = ["--host", "HOST", "--chromium", "ID", "--firefox", "ADDON"]


def folders(*names):
    return lambda home, args: [(home / name).mkdir(parents=True) for name in names]


def make_file(name, text="{}"):
    def make(home, args):
        (home / name).parent.mkdir(parents=True, exist_ok=True)
        (home / name).write_text(text)
    return make


def foreign_lines(home, args):
    """A copy of a manifest elsewhere, named in the record as the script and the program would."""
    copy = home / "backup/my-copy.json"
    copy.parent.mkdir()
    copy.write_bytes((home / CHROMIUM / f"{args.name}.json").read_bytes())
    data = copy.read_bytes()
    fnv = 0xcbf29ce484222325
    for byte in data:
        fnv = (fnv ^ byte) * 0x100000001b3 % 2**64
    with open(home / ".local/state/velmora-web-host/registered", "a") as record:
        record.write(f"{home}\t{copy}\nfile {len(data)} {fnv:x} {copy}\n")


def odd_host(home, args):
    host = home / os.fsdecode(b"\xff") / "velmora-web-host"
    host.parent.mkdir()
    shutil.copy(args.host, host)


REGISTER = [
    ("the browsers present", IDS, "vivaldi", 0,
     {CHROMIUM, FIREFOX, ".config/vivaldi/NativeMessagingHosts"},
     ["found Chromium, Vivaldi, Firefox"], {}),
    # Opera shares Chrome's folder, which is written once; Tor Browser's cannot be.
    ("every browser", [*IDS, "--browser", "all"], None, 0, 17, ["for Google Chrome, Opera", TOR], {}),
    ("two browsers", [*IDS, "--browser", "brave-beta", "--browser", "zen"], None, 0,
     {".config/BraveSoftware/Brave-Browser-Beta/NativeMessagingHosts", ".zen/native-messaging-hosts"},
     [], {}),
    ("an unknown browser", [*IDS, "--browser", "netscape"], None, 2, set(), ["chrome-beta, ", "or all"], {}),
    ("Tor Browser", [*IDS, "--browser", "tor"], None, 2, set(), [TOR], {}),
    ("no ID: the product's own", ["--host", "HOST", "--browser", "chromium"], None, 0, {CHROMIUM},
     [], {}),
    ("a Firefox ID with +", [*IDS, "--firefox", "a+b@velmora.com"], None, 2, set(),
     ["not a Firefox extension ID"], {}),
    ("a host path that is not UTF-8", [*IDS, "--host", "HOME/\udcff/velmora-web-host", "--browser", "firefox"],
     None, 2, set(), ["not UTF-8"], {"before": odd_host}),
    # Uninstalling leaves the folders that were there before, empty or not.
    ("folders there before", [*IDS, "--browser", "chromium", "--browser", "firefox"], None, 0,
     {CHROMIUM, FIREFOX}, [],
     {"before": folders(".local/state", ".mozilla/native-messaging-hosts", ".config/chromium")}),
    # Stopped part-way, it has recorded all it wrote; uninstall takes it back.
    ("a folder it cannot make", [*IDS, "--browser", "all"], None, 1, 10,
     [".config/vivaldi: Not a directory", "wrote the 10 manifests above"],
     {"before": make_file(".config/vivaldi"), "first": [*IDS, "--browser", "chrome"]}),
    # A line of the record names only a manifest of this host in a browser's folder.
    ("lines added to the record", [*IDS, "--browser", "chromium"], None, 0, {CHROMIUM}, [],
     {"after": foreign_lines}),
]


def given(arguments, home, args):
    stand_in = {"ID": args.chromium_id, "ADDON": args.firefox_id, "HOST": args.host}
    return [stand_in.get(a, a.replace("HOME", str(home))) for a in arguments]


def tree(home):
    return set(home.rglob("*"))


def user_env(home):
    """The environment of a user whose every folder is below the temporary home."""
    env = dict(os.environ, HOME=str(home))
    env.pop("XDG_CONFIG_HOME", None)
    env.pop("XDG_STATE_HOME", None)
    return env


def registered(args, home):
    return {str(path.parent.relative_to(home)) for path in home.rglob(f"{args.name}.json")}


def register(args, env, *arguments):
    return subprocess.run([args.register, *arguments], env=env, capture_output=True, text=True,
                          timeout=60)


def registration(args, home):
    (home / ".config").mkdir()  # which uninstalling leaves, as it leaves HOME
    for what, arguments, program, status, written, words, hooks in REGISTER:
        env = user_env(home)
        if program:
            fake = home / "bin" / program
            fake.parent.mkdir()
            fake.write_text("#!/bin/sh\n")
            fake.chmod(0o755)
            env["PATH"] = f"{fake.parent}:{env['PATH']}"
        before = tree(home)
        if "before" in hooks:
            hooks["before"](home, args)
        there = tree(home)
        if "first" in hooks:  # an install before, which uninstall takes back too
            register(args, env, "install", *given(hooks["first"], home, args))
        result = register(args, env, "install", *given(arguments, home, args))
        output = result.stdout + result.stderr
        found = registered(args, home)
        assert result.returncode == status, f"{what}: status {result.returncode}\n{output}"
        assert (len(found) if isinstance(written, int) else found) == written, f"{what}: {found}"
        assert all(word in output for word in words), f"{what}: {output}"
        installed = tree(home)
        if "after" in hooks:
            hooks["after"](home, args)
        kept = there | (tree(home) - installed)
        if program:
            shutil.rmtree(home / "bin")
            kept -= {home / "bin", fake}
        assert register(args, env, "uninstall").returncode == 0, what
        assert tree(home) == kept, f"{what}: uninstall left {tree(home) - kept}, took {kept - tree(home)}"
        for path in sorted(kept - before, reverse=True):
            path.rmdir() if path.is_dir() else path.unlink()
    # Uninstalling removes what its record says it wrote, and leaves what it did not write.
    env = user_env(home)
    theirs = home / ".config/google-chrome/NativeMessagingHosts" / f"{args.name}.json"
    theirs.parent.mkdir(parents=True)
    theirs.write_text("{}")
    register(args, env, "install", *given(IDS, home, args), "--browser", "vivaldi")
    register(args, env, "uninstall")
    assert registered(args, home) == {str(theirs.parent.relative_to(home))}, registered(args, home)
    shutil.rmtree(home / ".config")


def doctor(args, env):
    result = subprocess.run([args.doctor], env=env, capture_output=True, text=True, timeout=60)
    return result.returncode, result.stdout


def failed_lines(output):
    return [line for line in output.splitlines() if line.lstrip().startswith("FAIL")]


def run(args, home):
    env = user_env(home)
    for app in ("org.mozilla.firefox", "org.chromium.Chromium"):
        (home / ".local/share/flatpak/app" / app).mkdir(parents=True)
    status, output = doctor(args, env)
    assert status == 1 and "no installed browser has a registration" in output, output
    for sandboxed in ("Firefox is installed as the Flatpak org.mozilla.firefox, which from version "
                      "157 can start hosts through xdg-native-messaging-proxy",
                      "Chromium is installed as the Flatpak org.chromium.Chromium, which can start "
                      "no host"):
        assert sandboxed in output, output
    shutil.rmtree(home / ".local")
    subprocess.run([args.register, "install", "--host", args.host, "--chromium",
                    args.chromium_id, "--firefox", args.firefox_id], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    agent = subprocess.Popen([args.agent], env=env)
    try:
        bridge = home / ".config/VelmoraAgent/web-bridge.json"
        for _ in range(100):
            if bridge.exists():
                break
            time.sleep(0.05)
        status, output = doctor(args, env)
        assert status == 0 and "linked with the agent" in output and "1 MiB" in output, output
        # For a person: the absent browsers on the first line, the count on the last.
        lines = output.splitlines()
        assert lines[0].startswith("not installed: Google Chrome, Google Chrome Beta, "), output
        assert lines[-1] == "no problems" and "Chromium: can use the host" in lines, output
        chromium = home / f".config/chromium/NativeMessagingHosts/{args.name}.json"
        sound = json.loads(chromium.read_text())
        for what, damage, named in BROKEN:
            broken = damage(sound)
            chromium.write_bytes(broken if isinstance(broken, bytes) else json.dumps(broken).encode())
            status, output = doctor(args, env)
            lines = failed_lines(output)
            assert status == 1 and len(lines) == 1, f"{what}: {status}\n{output}"
            parts = [str(chromium) if part == "FILE" else part for part in named]
            assert all(part in lines[0] for part in parts), f"{what}: {lines[0]}"
            last = output.splitlines()[-1]
            assert last.startswith("1 problem; first step: ") and all(
                part in last for part in parts), f"{what}: {last}"
    finally:
        agent.terminate()
        agent.wait(10)
    status, output = doctor(args, env)
    assert status == 1 and "bridge file" in "".join(failed_lines(output)), output
    if os.geteuid() == 0:
        pid, port = stranger()
        try:
            bridge.write_text(json.dumps({"port": port, "token": "t"}))
            status, output = doctor(args, env)
        finally:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        assert status == 1 and "another user" in "".join(failed_lines(output)), output


def stranger():
    """A loopback listener of the user nobody, as any user may make one (needs root): its
    process and its port."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.setgid(65534)
        os.setuid(65534)
        listener = socket.create_server(("127.0.0.1", 0))
        os.write(write, str(listener.getsockname()[1]).encode())
        held = []
        signal.alarm(60)  # should the test die before it kills the child
        while True:
            held.append(listener.accept()[0])
    return pid, int(os.read(read, 16))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    # The product's facts come from the build, as the doctor's own do.
    for name in ("doctor", "host", "agent", "register", "name", "chromium-id", "firefox-id"):
        parser.add_argument(f"--{name}", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as home:
        try:
            registration(args, pathlib.Path(home))
            run(args, pathlib.Path(home))
        except AssertionError as failure:
            print(f"FAILED: {failure}", file=sys.stderr)
            return 1
    print("the doctor passes a sound registration and names each broken one")
    return 0


if __name__ == "__main__":
    sys.exit(main())
