"""The packages as a user gets them: what the .deb and the ZIP hold, that the .deb declares
its libraries, that the ZIP's program carries its version and a signature by SIGNER.pem, and
that the programs in them run (the Linux one against a private PulseAudio server, the Windows
one under Wine).
Usage: package_test.py PACKAGE.deb PACKAGE.zip SIGNER.pem"""

import os
import subprocess
import sys
import tempfile
import zipfile

from harness import Detector, PulseServer, TestRun, version_resource

DEB, ZIP, SIGNER = sys.argv[1:4]
ZIP_TOP = os.path.basename(ZIP)[:-len(".zip")]  # kolvex-mic-detector-win-VERSION-win64
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# README.md and everything in docs/, below the documentation folder.
DOCS = {"README.md"} | {os.path.relpath(os.path.join(folder, name), SOURCE)
                        for folder, _, names in os.walk(os.path.join(SOURCE, "docs"))
                        for name in names}


def files_under(root):
    return {os.path.relpath(os.path.join(folder, name), root)
            for folder, _, names in os.walk(root) for name in names}


def deb_field(name):
    return subprocess.run(["dpkg-deb", "-f", DEB, name], check=True, capture_output=True,
                          text=True).stdout.strip()


def deb_holds_the_program_and_docs(root):
    doc = "usr/share/doc/kolvex-mic-detector/"
    assert files_under(root) == {"usr/bin/kolvex-mic-detector"} | {doc + d for d in DOCS}, \
        files_under(root)
    assert deb_field("Package") == "kolvex-mic-detector"
    # The release program: installable on Debian 11 and Ubuntu 20.04 (glibc 2.31), with
    # libstdc++ and libgcc inside it.
    depends = {d.split()[0]: d for d in deb_field("Depends").split(", ")}
    assert set(depends) == {"libc6", "libpulse0"}, depends
    for package, bullseye in (("libc6", "2.31"), ("libpulse0", "14.2")):
        version = depends[package].split(">=")[1].strip(" )")
        assert subprocess.run(["dpkg", "--compare-versions", version, "le", bullseye]).returncode \
            == 0, depends


def installed_program_runs(root):
    program = os.path.join(root, "usr/bin/kolvex-mic-detector")
    version = subprocess.run([program, "--version"], capture_output=True, timeout=60).stdout
    assert version == b"kolvex-mic-detector %s\n" % deb_field("Version").encode(), version
    with PulseServer() as pulse, tempfile.TemporaryDirectory() as work:
        detector = Detector([program], dict(os.environ, **pulse.env), work)
        try:
            detector.wait_for_events(lambda events: events and events[-1]["type"] ==
                                     "audio_process_snapshot", "a snapshot")
        finally:
            detector.stop()
        assert detector.events()[0]["type"] == "started" and detector.stderr() == ""


def zip_holds_the_program_and_docs(folder):
    with zipfile.ZipFile(ZIP) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}
        assert names == {ZIP_TOP + "/" + n for n in DOCS | {"kolvex-mic-detector-win.exe"}}, names
        z.extractall(folder)
    program = os.path.join(folder, ZIP_TOP, "kolvex-mic-detector-win.exe")
    version = subprocess.run(["wine", program, "--version"], capture_output=True, timeout=120,
                             env=dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mmdevapi=d"))
    number = ZIP_TOP.split("-")[-2]
    assert version.stdout == b"kolvex-mic-detector-win %s\n" % number.encode(), version
    assert version_resource(program)["ProductVersion"] == number


def zip_program_is_signed(folder):
    # The signer's certificate is the only trust anchor: the signature must be found, chain to
    # it, and hash to the program as it is. One changed byte must fail that.
    def verify(program):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", SIGNER, "-in", program],
                              capture_output=True, text=True, timeout=120)
    program = os.path.join(folder, ZIP_TOP, "kolvex-mic-detector-win.exe")
    signed = verify(program)
    assert signed.returncode == 0, signed.stdout + signed.stderr
    changed = bytearray(open(program, "rb").read())
    changed[len(changed) // 2] ^= 1
    open(os.path.join(folder, "changed.exe"), "wb").write(changed)
    assert verify(os.path.join(folder, "changed.exe")).returncode != 0


def main():
    test = TestRun()
    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["dpkg-deb", "-x", DEB, root], check=True)
        test.check(".deb: program, README and docs; Depends: glibc 2.31 at most and libpulse0",
                   lambda: deb_holds_the_program_and_docs(root))
        test.check(".deb: the installed program answers --version and runs",
                   lambda: installed_program_runs(root))
    with tempfile.TemporaryDirectory() as folder:
        test.check("ZIP: program, README and docs; it runs under Wine and carries its version",
                   lambda: zip_holds_the_program_and_docs(folder))
        test.check("ZIP: the program's signature is found and intact",
                   lambda: zip_program_is_signed(folder))
    return test.finish()


if __name__ == "__main__":
    sys.exit(main())
