#!/usr/bin/env python3
"""make install and uninstall, the man pages, the bash completion, and the Debian package: installed with apt,
used by a throwaway member of its group, purged (root; skipped if a package named ostrane is installed already)."""

import glob
import grp
import os
import pwd
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from harness import Program, Sink, parse  # noqa: E402

BUILD = os.path.abspath(os.environ.get("BUILD_DIR", os.path.join(ROOT, "build")))
FILES = ["bin/ostrane", "bin/ostrane-analyzer", "share/ostrane/python_analyzer/main.py", "share/man/man1/ostrane.1.gz",
         "share/man/man1/ostrane-analyzer.1.gz", "share/bash-completion/completions/ostrane",
         "share/bash-completion/completions/ostrane-analyzer", "share/doc/ostrane/copyright"]


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **options)


class Install(unittest.TestCase):
    def test_install_honours_prefix_and_destdir_and_uninstall_removes_it(self):
        with tempfile.TemporaryDirectory() as stage:
            prefix = stage + "/opt/ostrane-test"
            done = run("make", "-C", ROOT, "install", f"BUILD_DIR={BUILD}", f"DESTDIR={stage}", "PREFIX=/opt/ostrane-test")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual([path for path in FILES if not os.path.isfile(f"{prefix}/{path}")], [])
            # The launcher finds the reader beside it, under any prefix.
            summary = run(f"{prefix}/bin/ostrane-analyzer", "--summary", input="")
            self.assertEqual(summary.stdout, "Total: 0 packets, 0 bytes captured (0 bytes on the wire)\n", summary.stderr)

            done = run("make", "-C", ROOT, "uninstall", f"BUILD_DIR={BUILD}", f"DESTDIR={stage}")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual([f for _, _, files in os.walk(stage) for f in files], [])
            self.assertFalse(os.path.exists(f"{prefix}/share/ostrane"))

    def test_man_pages_render_without_a_warning_and_completion_offers_devices_after_dash_i(self):
        version = run(f"{BUILD}/ostrane", "-h").stderr.split()[3][1:]  # from "Ostrane Capture Engine v1.0.0"
        for page in ("ostrane.1", "ostrane-analyzer.1"):
            shown = run("man", "--warnings", "-l", os.path.join(BUILD, "man", page + ".gz"),
                        env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
            self.assertEqual((shown.returncode, shown.stderr, "\nSIGNALS\n" in shown.stdout,
                              shown.stdout.rstrip().splitlines()[-1].split()[:2]), (0, "", True, ["ostrane", version]), page)
        script = (f"source {ROOT}/packaging/bash-completion/ostrane; COMP_WORDS=({BUILD}/ostrane -i l); "
                  "COMP_CWORD=2; _ostrane; printf '%s\\n' \"${COMPREPLY[@]}\"; "
                  "COMP_WORDS=(ostrane -); COMP_CWORD=1; _ostrane; echo \"${COMPREPLY[*]}\"")
        offered = run("bash", "-c", script).stdout.splitlines()
        self.assertIn("lo", offered[:-1])
        self.assertEqual(offered[-1], "-i -f -s -b -c -p -w -C -G -W -z -Q -q -l -h --help --version --pcapng --nano "
                                      "--micro --time-stamp-precision --direction")


@unittest.skipUnless(os.geteuid() == 0, "installing a package needs root")
class Package(unittest.TestCase):
    def test_installs_with_apt_captures_for_its_group_and_purges_clean(self):
        if run("dpkg-query", "-W", "ostrane").returncode == 0:
            self.skipTest("a package named ostrane is already installed here")
        [deb] = glob.glob(os.path.join(BUILD, "ostrane_*_amd64.deb"))  # one, from make package
        depends = run("dpkg-deb", "-f", deb, "Depends").stdout
        self.assertRegex(depends, "libpcap0.8.*libcap-ng0|libcap-ng0.*libpcap0.8")
        self.assertIn("python3", depends)

        installed = run("apt-get", "install", "-y", "-q", deb, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        self.addCleanup(run, "apt-get", "purge", "-y", "-q", "ostrane")
        self.assertEqual(installed.returncode, 0, installed.stderr)
        paths = ["/usr/" + path for path in FILES]
        self.assertEqual([path for path in paths if not os.path.isfile(path)], [])
        info = os.stat("/usr/bin/ostrane")
        self.assertEqual((info.st_uid, grp.getgrgid(info.st_gid).gr_name, oct(info.st_mode & 0o7777)),
                         (0, "ostrane", "0o750"))
        self.assertEqual(run("getcap", "/usr/bin/ostrane").stdout.split()[-1], "cap_net_admin,cap_net_raw=eip")

        user = f"ostrane-test-{os.getpid()}"
        self.assertEqual(run("useradd", "--no-create-home", "--no-user-group", "--groups", "ostrane", user).returncode, 0)
        self.addCleanup(run, "userdel", user)
        sink = Sink(self)
        account = pwd.getpwnam(user)
        capture = Program(self, ["setpriv", f"--reuid={account.pw_uid}", f"--regid={account.pw_gid}", "--init-groups",
                                 "/usr/bin/ostrane", "-i", "lo", "-f", sink.filter, "-c", "3"])
        self.assertTrue(capture.wait_for("Capture started"), capture.text())
        with open(f"/proc/{capture.process.pid}/status") as status:
            self.assertRegex(status.read(), "\nCapPrm:\t0{16}\nCapEff:\t0{16}\n")
        sink.send(3)
        self.assertEqual(capture.wait(30), 0, capture.text())
        self.assertEqual(len(parse(capture.output())[0]), 3)

        purged = run("apt-get", "purge", "-y", "-q", "ostrane")
        self.assertEqual(purged.returncode, 0, purged.stderr)
        self.assertEqual([path for path in paths + ["/usr/share/ostrane"] if os.path.exists(path)], [])
        self.assertNotEqual(run("getent", "group", "ostrane").returncode, 0)
        self.assertEqual(run("dpkg-statoverride", "--list", "/usr/bin/ostrane").stdout, "")


if __name__ == "__main__":
    unittest.main()
