#!/usr/bin/env python3
"""A signed Windows build: with a throwaway self-signed certificate, configures a build of its
own with -DVELMORA_SIGNING_PFX, builds the MSIs, checks with `osslsigncode verify` that every
program the packages take and every package carries a signature of that certificate, then runs
the MSI round trip (msi_test.py) on the signed packages."""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree for the import below
import msi_test  # noqa: E402

PASSWORD = "throwaway"


def make_certificate(folder):
    key, cert, pfx = folder / "key.pem", folder / "cert.pem", folder / "cert.pfx"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Velmora signing test", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                    "-passout", f"pass:{PASSWORD}"], check=True, capture_output=True)
    return cert, pfx


def build_signed(args, pfx):
    # The build tree is kept between runs: a new certificate re-signs without a rebuild.
    subprocess.run(["cmake", "--preset", "windows", "-S", args.source, "-B", args.build,
                    f"-DVELMORA_SIGNING_PFX={pfx}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build, "--target", "msi", "-j2"], check=True,
                   stdout=subprocess.DEVNULL,
                   env=dict(os.environ, VELMORA_SIGNING_PASSWORD=PASSWORD))


def unsigned(cert, files):
    """The files whose signature osslsigncode does not verify against `cert`."""
    failed = []
    for file in files:
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", file],
                                capture_output=True, text=True)
        if result.returncode != 0 or "Signature verification: ok" not in result.stdout:
            failed.append(f"{file.name}: {result.stdout.strip().splitlines()[-1:]}")
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", type=pathlib.Path, required=True)
    parser.add_argument("--build", type=pathlib.Path, required=True, help="the signed build's tree")
    parser.add_argument("--version", required=True, help="the packages' version")
    parser.add_argument("--older-version", required=True, help="the version to upgrade from")
    parser.add_argument("--loader", required=True, help="Wine's wine64 loader")
    parser.add_argument("--launch-driver", type=pathlib.Path, required=True)
    parser.add_argument("--chromium-ids", nargs="+", required=True)
    parser.add_argument("--firefox-ids", nargs="+", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        cert, pfx = make_certificate(pathlib.Path(folder))
        build_signed(args, pfx)
        msis = [args.build / f"velmora-web-host-{args.version}{suffix}.msi"
                for suffix in ("", "-per-machine")]
        older = [args.build / "packaging" / f"velmora-web-host-{args.older_version}{suffix}.msi"
                 for suffix in ("", "-per-machine")]
        programs = {name: args.build / "signed" / f"velmora-{name}.exe"
                    for name in ("web-host", "agent", "doctor")}
        failed = unsigned(cert, [*programs.values(), *msis, *older])
        if failed:
            print(f"FAILED: not signed by the test's certificate: {failed}", file=sys.stderr)
            return 1
        print(f"{len(programs) + len(msis) + len(older)} files signed and verified")
    round_trip = argparse.Namespace(
        loader=args.loader, prefix=args.build / "msi-wineprefix", msi=msis[0], older_msi=older[0],
        machine_msi=msis[1], older_machine_msi=older[1], host=programs["web-host"],
        agent=programs["agent"], doctor=programs["doctor"], launch_driver=args.launch_driver,
        chromium_ids=args.chromium_ids, firefox_ids=args.firefox_ids, keep=False)
    return msi_test.round_trips(round_trip)


if __name__ == "__main__":
    sys.exit(main())
