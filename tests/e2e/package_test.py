"""The packages as a user gets them: what the .deb and the ZIP hold, that the .deb declares
its libraries, and that the programs in them run (the Linux one against a private PulseAudio
server, the Windows one under Wine).
Usage: package_test.py PACKAGE.deb PACKAGE.zip"""

import os
import subprocess
import sys
import tempfile
import zipfile

from harness import Detector, PulseServer, TestRun

DEB, ZIP = sys.argv[1], sys.argv[2]
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
    assert "libpulse0" in [d.split()[0] for d in deb_field("Depends").split(", ")], \
        deb_field("Depends")


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
    top = os.path.basename(ZIP)[:-len(".zip")]
    with zipfile.ZipFile(ZIP) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}
        assert names == {top + "/" + n for n in DOCS | {"kolvex-mic-detector-win.exe"}}, names
        z.extractall(folder)
    version = subprocess.run(["wine", os.path.join(folder, top, "kolvex-mic-detector-win.exe"),
                              "--version"], capture_output=True, timeout=120,
                             env=dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mmdevapi=d"))
    assert version.stdout == b"kolvex-mic-detector-win %s\n" % top.split("-")[-2].encode(), version


def main():
    test = TestRun()
    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["dpkg-deb", "-x", DEB, root], check=True)
        test.check(".deb: program, README and docs; Depends names libpulse0",
                   lambda: deb_holds_the_program_and_docs(root))
        test.check(".deb: the installed program answers --version and runs",
                   lambda: installed_program_runs(root))
    with tempfile.TemporaryDirectory() as folder:
        test.check("ZIP: program, README and docs; the program runs under Wine",
                   lambda: zip_holds_the_program_and_docs(folder))
    return test.finish()


if __name__ == "__main__":
    sys.exit(main())
