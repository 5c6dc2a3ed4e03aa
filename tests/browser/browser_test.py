#!/usr/bin/env python3
"""End-to-end test in a real browser.

Installs the build into a fresh prefix, registers the host for a fake user with the installed
velmora-register-host (or, with --system, takes the host that the system package installed and
registers nothing), and runs headless Chromium or Firefox with the test extension against the
installed host and sample agent. The extension takes its commands from a loopback HTTP server run
here and posts back what it saw. Every wait is bounded; the browser, the agents and the temporary
folders are cleaned up whatever happens.
"""

import argparse
import base64
import hashlib
import http.server
import json
import os
import queue
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
from pathlib import Path

HOST_NAME = os.environ["VELMORA_HOST_NAME"]  # cmake/Product.cmake's, from the build
EXTENSION_DIR = Path(__file__).resolve().parent / "extension"
# The test extension's own, as its key gives its Chromium ID.
FIREFOX_ID = json.loads((EXTENSION_DIR / "manifest.json").read_text())[
    "browser_specific_settings"]["gecko"]["id"]
LINKED = {"op": "linked"}
ONE_MIB = 1024 * 1024


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def wait_until(predicate, timeout, step=0.01):
    """Polls until predicate() holds or the time is up; returns the elapsed seconds or None."""
    start = time.monotonic()
    while True:
        if predicate():
            return time.monotonic() - start
        if time.monotonic() - start > timeout:
            return None
        time.sleep(step)


# --- processes -------------------------------------------------------------------------------

def running(pid):
    """True while the process exists and has not ended (a zombie has ended)."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"


def pids_running(program):
    """The processes that run this very file (found through /proc/PID/exe)."""
    pids = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if os.readlink(entry / "exe") == str(program):
                pids.append(int(entry.name))
        except OSError:
            continue
    return [pid for pid in pids if running(pid)]


def stop(pid):
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    if wait_until(lambda: not running(pid), 5) is None:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def group_gone(group):
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return True
    return False


def stop_group(process):
    """Ends a process started in a session of its own, with every process it started there:
    a browser's helpers go on writing to its profile for a while after the browser ends."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            break
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            continue
        if wait_until(lambda: group_gone(process.pid), 5) is not None:
            break


# --- the extension's command channel ---------------------------------------------------------

class CommandServer:
    """Loopback HTTP server: the extension fetches commands and posts their results."""

    POLL_SECONDS = 5

    def __init__(self):
        self.commands = queue.Queue()
        self.results = {}
        self.changed = threading.Condition()
        self.extension = None
        self.closed = False
        self.next_id = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def reply(self, status, body=b""):
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                if self.path != "/command" or server.closed:
                    return self.reply(410)
                try:
                    command = server.commands.get(timeout=server.POLL_SECONDS)
                except queue.Empty:
                    return self.reply(204)
                self.reply(200, json.dumps(command).encode())

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = json.loads(self.rfile.read(length))
                with server.changed:
                    if self.path == "/hello":
                        server.extension = body
                    elif self.path == "/result":
                        server.results[body["id"]] = body["result"]
                    server.changed.notify_all()
                self.reply(200)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.httpd.server_address[1]}"

    def wait_for_extension(self, timeout):
        with self.changed:
            self.changed.wait_for(lambda: self.extension is not None, timeout)
            return self.extension

    def call(self, action, timeout=10, **arguments):
        """Runs one command in the extension and returns its result."""
        # Outwait the extension's own bound, so that it is the one to report a time-out.
        timeout = max(timeout, arguments.get("timeoutMs", 0) / 1000 + 5)
        self.next_id += 1
        command_id = self.next_id
        self.commands.put({"id": command_id, "action": action, **arguments})
        with self.changed:
            done = self.changed.wait_for(lambda: command_id in self.results, timeout)
        check(done, f"the extension did not answer '{action}' within {timeout} s")
        result = self.results.pop(command_id)
        check("error" not in result, f"'{action}' failed in the extension: {result.get('error')}")
        return result

    def close(self):
        self.closed = True
        self.httpd.shutdown()


# --- the browsers ------------------------------------------------------------------------------

class Chromium:
    program = "chromium"

    @staticmethod
    def extension_id(manifest):
        """The ID for an extension with a fixed key: sha256 of the key, hex digits as a-p."""
        digest = hashlib.sha256(base64.b64decode(manifest["key"])).hexdigest()[:32]
        return "".join(chr(ord("a") + int(digit, 16)) for digit in digest)

    @staticmethod
    def command(program, setting, extension):
        return [program, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-default-apps",
                f"--user-data-dir={setting.roaming / 'chromium'}", f"--load-extension={extension}",
                f"--disable-extensions-except={extension}", "about:blank"]


# Firefox loads an unsigned add-on only with signatures off and the profile's own extensions folder
# enabled. Its background page is put to sleep when idle: 5 min, the most it allows, outlasts the
# test. Timers keep their full precision for the figures. All of Firefox's own traffic goes to a
# dead loopback proxy, so it reaches nothing but the test's server.
FIREFOX_PREFS = {
    "xpinstall.signatures.required": False,
    "extensions.autoDisableScopes": 0,
    "extensions.background.idle.timeout": 300000,
    "privacy.reduceTimerPrecision": False,
    "network.proxy.type": 1,
    "network.proxy.http": "127.0.0.1",
    "network.proxy.http_port": 9,
    "network.proxy.ssl": "127.0.0.1",
    "network.proxy.ssl_port": 9,
    "network.proxy.no_proxies_on": "127.0.0.1",
}


class Firefox:
    program = "firefox-esr"

    @staticmethod
    def extension_id(manifest):
        return manifest["browser_specific_settings"]["gecko"]["id"]

    @staticmethod
    def command(program, setting, extension):
        profile = setting.scratch / "firefox-profile"
        (profile / "extensions").mkdir(parents=True)
        prefs = "".join(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n"
                        for k, v in FIREFOX_PREFS.items())
        (profile / "user.js").write_text(prefs)
        manifest = json.loads((extension / "manifest.json").read_text())
        xpi = profile / "extensions" / f"{Firefox.extension_id(manifest)}.xpi"
        with zipfile.ZipFile(xpi, "w") as archive:
            for path in extension.iterdir():
                archive.write(path, path.name)
        return [program, "--headless", "--no-remote", "--profile", str(profile), "about:blank"]


BROWSERS = {"chromium": Chromium, "firefox": Firefox}


# --- the setting -------------------------------------------------------------------------------

def as_user(uid):
    """A preexec_fn that runs the child as this user, with that user's group of the same number."""
    def switch():
        os.setgroups([])
        os.setgid(uid)
        os.setuid(uid)
    return switch


class Setting:
    """Everything the test starts, owned here so that close() can undo it. `prefix` is where the
    programs are: a fresh one for the build, or /usr, where the system package put them."""

    def __init__(self, args, scratch, prefix=None, home=None):
        self.args = args
        self.scratch = scratch
        self.prefix = prefix or scratch / "prefix"
        self.home = home or scratch / "home"
        self.roaming = self.home / ".config"
        self.bridge_file = self.roaming / "VelmoraAgent" / "web-bridge.json"
        self.host = self.prefix / "bin" / "velmora-web-host"
        self.agent_program = self.prefix / "bin" / "velmora-agent"
        self.register = self.prefix / "bin" / "velmora-register-host"
        self.doctor = self.prefix / "bin" / "velmora-doctor"
        self.browser = None
        self.agent = None
        self.server = None
        self.browser_log = scratch / "browser.log"

    def env(self):
        env = dict(os.environ, HOME=str(self.home))
        env.pop("XDG_CONFIG_HOME", None)
        env.pop("XDG_STATE_HOME", None)  # where the registration keeps its record
        return env

    def install(self):
        subprocess.run([self.args.cmake, "--install", self.args.build_dir, "--prefix", self.prefix],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)

    def run_register(self, *arguments, **env):
        return subprocess.run([self.register, *arguments], env=dict(self.env(), **env),
                              capture_output=True, text=True, timeout=30)

    def start_agent(self):
        self.agent = subprocess.Popen(
            [self.agent_program, "--roaming", self.roaming, "--print-port"],
            stdout=subprocess.PIPE, text=True, start_new_session=True)
        ready, _, _ = select.select([self.agent.stdout], [], [], 10)
        check(ready and self.agent.stdout.readline().strip().isdigit(),
              "the sample agent did not report its port within 10 s")

    def stop_agent(self):
        self.agent.send_signal(signal.SIGTERM)
        self.agent.wait(timeout=10)
        self.agent = None

    def start_browser(self, manifest, user=None):
        """Starts the browser with the test extension; as the user `user` (a uid) when given."""
        self.server = CommandServer()
        extension = self.scratch / "extension"
        shutil.copytree(EXTENSION_DIR, extension)
        (extension / "config.json").write_text(json.dumps({"server": self.server.url}))
        kind = BROWSERS[self.args.browser]
        command = kind.command(self.args.program, self, extension)
        if user is not None:  # the profile and the extension are the user's
            for path in [self.scratch, *self.scratch.rglob("*")]:
                os.lchown(path, user, user)
        with open(self.browser_log, "wb") as log:
            self.browser = subprocess.Popen(command, env=self.env(), stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=subprocess.STDOUT,
                                            start_new_session=True,
                                            preexec_fn=None if user is None else as_user(user))
        hello = self.server.wait_for_extension(60)
        check(hello is not None, "the test extension did not start within 60 s")
        check(hello["id"] == kind.extension_id(manifest),
              f"extension ID {hello['id']}, expected {kind.extension_id(manifest)}")

    def close(self):
        if self.server:
            self.server.close()
        if self.browser:
            stop_group(self.browser)
        if self.agent:
            self.agent.kill()
            self.agent.wait()
        # Hosts and agents started from the prefix: only this test runs programs from there.
        for program in (self.host, self.agent_program):
            for pid in pids_running(program):
                stop(pid)


# --- the cases ---------------------------------------------------------------------------------

def tree(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


def manifest_folders(setting):
    """Where each browser looks for the user's hosts, and the key its manifest must have."""
    config = setting.roaming
    return [
        ("Chrome", config / "google-chrome/NativeMessagingHosts", "allowed_origins"),
        ("Chromium", config / "chromium/NativeMessagingHosts", "allowed_origins"),
        ("Edge", config / "microsoft-edge/NativeMessagingHosts", "allowed_origins"),
        ("Brave", config / "BraveSoftware/Brave-Browser/NativeMessagingHosts", "allowed_origins"),
        ("Vivaldi", config / "vivaldi/NativeMessagingHosts", "allowed_origins"),
        ("Firefox", setting.home / ".mozilla/native-messaging-hosts", "allowed_extensions"),
    ]


def check_manifest(path, host, key, allowed):
    check(path.is_file(), f"no manifest at {path}")
    manifest = json.loads(path.read_text())
    other = {"allowed_origins", "allowed_extensions"} - {key}
    check(set(manifest) == {"name", "description", "path", "type", key},
          f"{path}: keys {sorted(manifest)}; it must have {key} and not {other.pop()}")
    check(manifest["name"] == HOST_NAME and path.name == HOST_NAME + ".json",
          f"{path}: the name must be {HOST_NAME}, in the file name too")
    check(manifest["type"] == "stdio", f"{path}: type {manifest['type']!r}")
    check(os.path.isabs(manifest["path"]) and Path(manifest["path"]) == host,
          f"{path}: path {manifest['path']!r}, expected the absolute {host}")
    check(manifest[key] == allowed, f"{path}: {key} {manifest[key]}, expected {allowed}")


def installed_manifests(setting, chromium_id):
    share = setting.prefix / "share/velmora-web-host/manifests"
    for browser in ("chrome", "edge"):
        check_manifest(share / browser / f"{HOST_NAME}.json", setting.host, "allowed_origins",
                       [f"chrome-extension://{chromium_id}/"])
    check_manifest(share / "firefox" / f"{HOST_NAME}.json", setting.host, "allowed_extensions",
                   [FIREFOX_ID])


def registration_round_trip(setting, chromium_id):
    before = tree(setting.home)
    refused = [
        (),
        ("install", "--chromium", chromium_id.upper()),
        ("install", "--chromium", chromium_id[:-1]),
        ("install", "--firefox", 'a"b@example.com'),
        ("install", "--chromium", chromium_id, "--host", str(setting.scratch)),
        ("install", "--chromium", chromium_id, "--host", str(setting.prefix / "missing")),
        ("install", "--chromium"),
        ("install", "--edge", chromium_id),
        ("uninstall", "--chromium", chromium_id),
        ("frobnicate",),
    ]
    for arguments in refused:
        result = setting.run_register(*arguments)
        check(result.returncode == 2 and result.stderr,
              f"register {arguments}: status {result.returncode}, expected 2 and a message")
        check(tree(setting.home) == before, f"register {arguments} left files behind")

    result = setting.run_register("install", "--chromium", chromium_id, "--firefox", FIREFOX_ID,
                                  "--browser", "all")
    check(result.returncode == 0, f"register install: status {result.returncode}: {result.stderr}")
    origins = [f"chrome-extension://{chromium_id}/"]
    for _, folder, key in manifest_folders(setting):
        allowed = origins if key == "allowed_origins" else [FIREFOX_ID]
        check_manifest(folder / f"{HOST_NAME}.json", setting.host, key, allowed)
    for _ in range(2):  # a second uninstall finds nothing to do and still succeeds
        result = setting.run_register("uninstall")
        check(result.returncode == 0, f"register uninstall: status {result.returncode}")
        check(tree(setting.home) == before,
              f"uninstall left {sorted(set(tree(setting.home)) - set(before))}")

    # The Chromium family follows XDG_CONFIG_HOME, as those browsers do; Firefox does not.
    xdg = setting.home / "xdg"
    result = setting.run_register("install", "--chromium", chromium_id, "--firefox", FIREFOX_ID,
                                  XDG_CONFIG_HOME=str(xdg))
    check(result.returncode == 0, f"register install with XDG_CONFIG_HOME: {result.stderr}")
    check_manifest(xdg / "chromium/NativeMessagingHosts" / f"{HOST_NAME}.json", setting.host,
                   "allowed_origins", origins)
    check_manifest(setting.home / ".mozilla/native-messaging-hosts" / f"{HOST_NAME}.json",
                   setting.host, "allowed_extensions", [FIREFOX_ID])
    setting.run_register("uninstall", XDG_CONFIG_HOME=str(xdg))
    # XDG_CONFIG_HOME itself too: the registrar made it, so it takes it back.
    check(tree(setting.home) == before, "uninstall with XDG_CONFIG_HOME left files")

    # Registering one family leaves the other's folders alone.
    result = setting.run_register("install", "--firefox", FIREFOX_ID)
    check(result.returncode == 0, f"register install --firefox: status {result.returncode}")
    check(not (setting.roaming / "chromium").exists(), "a Firefox ID wrote a Chromium manifest")
    setting.run_register("uninstall")
    check(tree(setting.home) == before, "uninstall after a Firefox-only install left files")


def connect_and_link(server, first=None):
    arguments = {"host": HOST_NAME}
    if first is not None:
        arguments["first"] = first
    server.call("connect", **arguments)
    item = server.call("receive", timeoutMs=10000)
    check(item.get("message") == LINKED, f"the first message was {item}, expected {LINKED}")
    return item["atMs"]


def check_echoes(server, messages, timeout=10):
    result = server.call("echo", timeout=timeout * len(messages), messages=messages,
                         timeoutMs=timeout * 1000)
    for message, outcome in zip(messages, result["results"]):
        shown = json.dumps(message, ensure_ascii=False)[:80]
        check(outcome["ok"], f"{shown} came back as {outcome}")


ECHOES = [
    {"op": "ping"},
    {"text": "Grüße, naïve café – 日本語のテキスト, ελληνικά, עברית, emoji 🎉🧪"},
    {"text": "escapes \" \\ / \b \f \n \r \t \u0001 \u2028 \u2029 < > & '"},
    {"z": 1, "a": [1, 2.5, -3e-7, True, False, None], "m": {"": {}, "nested": [[[]]]}},
    ["an array", 0],
    "a bare string",
    12345,
    {"op": "launch"},  # later than the first message it is ordinary traffic
]


def one_mib_message():
    """A message whose JSON is exactly 1 MiB, the most Chromium and Firefox take from a host."""
    frame = '{"data":""}'
    return {"data": "x" * (ONE_MIB - len(frame))}


def host_ends_on_disconnect(setting, server):
    hosts = pids_running(setting.host)
    check(len(hosts) == 1, f"{len(hosts)} host processes while one port is open")
    start = time.monotonic()
    server.call("disconnect")
    ended = wait_until(lambda: not running(hosts[0]), 1.0 - (time.monotonic() - start))
    check(ended is not None, "the host still runs 1 s after the extension's disconnect()")
    return time.monotonic() - start


def relay_cases(setting, server, figures):
    figures["linked"] = connect_and_link(server)
    check_echoes(server, ECHOES)
    check_echoes(server, [one_mib_message()], timeout=30)
    print("ok  connectNative: linked first, then messages round-trip unchanged "
          "(non-ASCII, escapes, 1 MiB)")
    figures["exit"] = host_ends_on_disconnect(setting, server)
    print(f"ok  disconnect(): the host process ended after {figures['exit'] * 1000:.0f} ms")


def round_trip_figures(server, figures):
    figures["first"] = connect_and_link(server, first={"seq": 0})
    item = server.call("receive", timeoutMs=10000)
    check(item.get("message") == {"seq": 0}, f"the first message came back as {item}")
    figures["first_round_trip"] = item["atMs"]
    timed = server.call("timedRoundTrips", timeout=120, count=1000, timeoutMs=5000)
    check("failedAt" not in timed, f"round trip {timed.get('failedAt')} got {timed.get('got')}")
    figures["median"] = timed["medianMs"]
    figures["range"] = (timed["minMs"], timed["maxMs"])
    print("ok  1,000 sequential round trips")


def agent_stopping(setting, server):
    """Run with a linked port open: stopping the agent must end the host and close the port."""
    hosts = pids_running(setting.host)
    check(len(hosts) == 1, f"{len(hosts)} host processes while one port is open")
    setting.stop_agent()
    item = server.call("receive", timeoutMs=5000)
    check(item.get("disconnected"), f"after the agent stopped the extension got {item}")
    check(wait_until(lambda: not running(hosts[0]), 5) is not None,
          "the host still runs after the agent stopped")
    check(wait_until(lambda: not setting.bridge_file.exists(), 5) is not None,
          "the stopped agent left its bridge file")
    print("ok  the agent stopping disconnects the extension's port")


def launch_request(setting, server, figures):
    """With no agent running: the host starts one, answers, and the port closes at once."""
    server.call("connect", host=HOST_NAME, first={"op": "launch"})
    reply = server.call("receive", timeoutMs=10000)
    check(reply.get("message") == {"launched": True, "ok": True}
          and list(reply["message"]) == ["launched", "ok"],
          f"the launch request was answered with {reply}")
    end = server.call("receive", timeoutMs=5000)
    check(end.get("disconnected"), f"after the launch reply the extension got {end}")
    figures["launch_end"] = end["atMs"] - reply["atMs"]
    check(figures["launch_end"] <= 1000,
          f"the port disconnected {figures['launch_end']:.0f} ms after the launch reply")
    check(wait_until(lambda: pids_running(setting.agent_program), 5) is not None,
          "no sample agent runs after the launch reply")
    check(wait_until(setting.bridge_file.exists, 5) is not None,
          "the launched agent published no bridge file")
    agents = pids_running(setting.agent_program)
    print(f"ok  launch: reply, port closed {figures['launch_end']:.0f} ms later, agent runs")

    connect_and_link(server)
    check_echoes(server, ECHOES[:2])
    check(all(running(pid) for pid in agents), "the launched agent ended")
    server.call("disconnect")
    print("ok  a second connectNative links to the launched agent")


def browser_cases(setting, manifest, figures):
    """The extension in the browser, linked through whatever registration the host has."""
    setting.start_agent()
    setting.start_browser(manifest)
    relay_cases(setting, setting.server, figures)
    round_trip_figures(setting.server, figures)
    agent_stopping(setting, setting.server)
    launch_request(setting, setting.server, figures)


def system_cases(setting, manifest, figures):
    """The system package's host, found by the browser in its system folder alone."""
    browser_cases(setting, manifest, figures)
    per_user = [path for path in tree(setting.home) if path.endswith(f"{HOST_NAME}.json")]
    check(not per_user, f"per-user manifests: {per_user}")
    print("ok  linked through the system folders, with no per-user registration")


def run_cases(setting, manifest, figures):
    chromium_id = Chromium.extension_id(manifest)
    installed_manifests(setting, chromium_id)
    print("ok  the installed manifests name the installed host with the right key per browser")
    registration_round_trip(setting, chromium_id)
    print("ok  registration writes the four per-user manifests, refuses bad input, "
          "and uninstall leaves nothing")

    # The browser finds the host through the registration: its profile is the per-user folder.
    # Both browsers are installed, so both are found.
    result = setting.run_register("install", "--chromium", chromium_id, "--firefox", FIREFOX_ID)
    found = result.stdout.partition("\n")[0]
    check(result.returncode == 0 and all(name in found for name in ("Chromium", "Firefox")),
          f"register install: {result.stdout}{result.stderr}")
    browser_cases(setting, manifest, figures)

    result = setting.run_register("uninstall")
    check(result.returncode == 0, f"register uninstall: {result.stderr}")
    left = [str(folder) for _, folder, _ in manifest_folders(setting)
            if (folder / f"{HOST_NAME}.json").exists()]
    check(not left, f"uninstall left manifests in {left}")


def print_figures(figures):
    print("figures (printed, not asserted):")
    if "linked" in figures:
        print(f"  connectNative -> linked, nothing sent:              {figures['linked']:.1f} ms")
    if "first_round_trip" in figures:
        print(f"  connectNative -> linked, message sent at once:      {figures['first']:.1f} ms")
        print(f"  first round trip (connectNative -> its echo):       "
              f"{figures['first_round_trip']:.1f} ms")
    if "median" in figures:
        low, high = figures["range"]
        print(f"  median of 1,000 sequential round trips:             {figures['median']:.3f} ms"
              f" (min {low:.3f}, max {high:.3f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", help="the Linux build to install (not with --system)")
    parser.add_argument("--system", action="store_true",
                        help="use the host that the system package installed in /usr")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--browser", choices=BROWSERS, default="chromium")
    parser.add_argument("--program", help="the browser to run (default: chromium, firefox-esr)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    program = args.program or BROWSERS[args.browser].program
    args.program = shutil.which(program)
    if args.program is None:
        print(f"FAIL: no '{program}' to run (scripts/setup.sh installs it)")
        return 1
    manifest = json.loads((EXTENSION_DIR / "manifest.json").read_text())

    if not args.system and args.build_dir is None:
        parser.error("--build-dir is needed unless --system")

    scratch = Path(tempfile.mkdtemp(prefix="velmora-browser-"))
    setting = Setting(args, scratch, prefix=Path("/usr") if args.system else None)
    figures = {}
    status = 0
    try:
        if args.system:
            setting.roaming.mkdir(parents=True)
            system_cases(setting, manifest, figures)
        else:
            setting.install()
            setting.roaming.mkdir(parents=True)
            run_cases(setting, manifest, figures)
        print("PASS")
    except (Failure, subprocess.SubprocessError, OSError) as error:
        print(f"FAIL: {error}")
        status = 1
    finally:
        setting.close()
        print_figures(figures)
        if status and setting.browser_log.exists():
            print("--- the browser's output (Chromium's has the host's error lines too) ---")
            print(setting.browser_log.read_text(errors="replace")[-6000:])
        if args.keep:
            print(f"kept {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)
            if scratch.exists():
                print(f"could not remove all of {scratch}")
    return status


if __name__ == "__main__":
    sys.exit(main())
