#!/usr/bin/env python3
"""make install and uninstall, the man pages, the bash completion, and the
Debian package: installed with apt, used by a member of its group, purged.

    python3 tests/packaging/test_packaging.py [-v]    (after make package)

The package test needs root; it installs the package on this machine, makes
a throwaway user and removes both again. It is skipped when a package named
ostrane is already installed, so that it never removes one it did not put in.
"""

import glob
import grp
import os
import pwd
import socket
import struct
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("BUILD_DIR", os.path.join(ROOT, "build")))
FILES = ["bin/ostrane", "bin/ostrane-analyzer", "share/ostrane/python_analyzer/main.py",
         "share/man/man1/ostrane.1", "share/man/man1/ostrane-analyzer.1",
         "share/bash-completion/completions/ostrane"]


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **options)


class Install(unittest.TestCase):
    def test_install_honours_prefix_and_destdir_and_uninstall_removes_it(self):
        with tempfile.TemporaryDirectory() as stage:
            prefix = stage + "/opt/ostrane-test"
            done = run("make", "-C", ROOT, "install", f"BUILD_DIR={BUILD}", f"DESTDIR={stage}", "PREFIX=/opt/ostrane-test")
            self.assertEqual(done.returncode, 0, done.stderr)
            for path in FILES:
                self.assertTrue(os.path.isfile(f"{prefix}/{path}"), path)
            self.assertTrue(os.access(f"{prefix}/bin/ostrane-analyzer", os.X_OK))
            # The launcher finds the reader beside it, under any prefix.
            summary = run(f"{prefix}/bin/ostrane-analyzer", "--summary", input="")
            self.assertEqual(summary.stdout, "Total: 0 packets, 0 bytes captured (0 bytes on the wire)\n", summary.stderr)

            done = run("make", "-C", ROOT, "uninstall", f"BUILD_DIR={BUILD}", f"DESTDIR={stage}")
            self.assertEqual(done.returncode, 0, done.stderr)
            left = [os.path.join(d, f) for d, _, files in os.walk(stage) for f in files]
            self.assertEqual(left, [])
            self.assertFalse(os.path.exists(f"{prefix}/share/ostrane"))

    def test_man_pages_render_without_a_warning(self):
        for page in ("ostrane.1", "ostrane-analyzer.1"):
            shown = run("man", "--warnings", "-l", os.path.join(ROOT, "packaging", "man", page),
                        env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
            self.assertEqual((shown.returncode, shown.stderr), (0, ""), page)
            for section in ("SYNOPSIS", "OPTIONS", "EXIT STATUS", "SIGNALS", "SEE ALSO"):
                self.assertIn(f"\n{section}\n", shown.stdout, page)

    def test_completion_offers_devices_after_dash_i(self):
        script = (f"source {ROOT}/packaging/bash-completion/ostrane; COMP_WORDS=({BUILD}/ostrane -i l); "
                  "COMP_CWORD=2; _ostrane; printf '%s\\n' \"${COMPREPLY[@]}\"; "
                  "COMP_WORDS=(ostrane -); COMP_CWORD=1; _ostrane; echo \"${COMPREPLY[*]}\"")
        offered = run("bash", "-c", script).stdout.splitlines()
        self.assertIn("lo", offered[:-1])
        self.assertEqual(offered[-1], "-i -f -s -b -c -l -h --help")


@unittest.skipUnless(os.geteuid() == 0, "installing a package needs root")
class Package(unittest.TestCase):
    def setUp(self):
        debs = glob.glob(os.path.join(BUILD, "ostrane_*_amd64.deb"))
        self.assertEqual(len(debs), 1, "run make package first")
        self.deb = debs[0]
        if run("dpkg-query", "-W", "ostrane").returncode == 0:
            self.skipTest("a package named ostrane is already installed here")

    def capture_as(self, user):
        """Three datagrams captured by `user` through the installed binary; the
        capture's capabilities as the kernel reports them while it runs."""
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sink.close)
        sink.bind(("127.0.0.1", 0))
        port = sink.getsockname()[1]
        account = pwd.getpwnam(user)
        capture = subprocess.Popen(["setpriv", f"--reuid={account.pw_uid}", f"--regid={account.pw_gid}", "--init-groups",
                                    "/usr/bin/ostrane", "-i", "lo", "-f", f"udp dst port {port}", "-c", "3"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(capture.kill)
        seen = b""
        while b"Capture started" not in seen:
            line = capture.stderr.readline()
            self.assertTrue(line, seen)
            seen += line
        with open(f"/proc/{capture.pid}/status") as status:
            caps = dict(line.split(":\t", 1) for line in status.read().splitlines() if line.startswith("Cap"))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for i in range(3):
                sender.sendto(b"datagram %d" % i, ("127.0.0.1", port))
        stream, err = capture.communicate(timeout=30)
        self.assertEqual(capture.returncode, 0, err)
        return stream, caps

    def test_installs_with_apt_captures_for_its_group_and_purges_clean(self):
        contents = run("dpkg-deb", "-c", self.deb).stdout
        paths = ["/usr/" + path for path in FILES]
        for path in paths:
            self.assertIn("." + path + "\n", contents)
        depends = run("dpkg-deb", "-f", self.deb, "Depends").stdout
        for package in ("libpcap0.8", "libcap-ng0", "python3"):
            self.assertIn(package, depends)

        installed = run("apt-get", "install", "-y", "-q", self.deb, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        self.addCleanup(run, "apt-get", "purge", "-y", "-q", "ostrane")
        self.assertEqual(installed.returncode, 0, installed.stderr)
        info = os.stat("/usr/bin/ostrane")
        self.assertEqual((info.st_uid, grp.getgrgid(info.st_gid).gr_name, oct(info.st_mode & 0o7777)),
                         (0, "ostrane", "0o750"))
        self.assertEqual(run("getcap", "/usr/bin/ostrane").stdout.split()[-1], "cap_net_admin,cap_net_raw=eip")

        user = f"ostrane-test-{os.getpid()}"
        self.assertEqual(run("useradd", "--no-create-home", "--no-user-group", "--groups", "ostrane", user).returncode, 0)
        self.addCleanup(run, "userdel", user)
        stream, caps = self.capture_as(user)
        self.assertEqual(caps["CapEff"], "0000000000000000")
        self.assertEqual(caps["CapPrm"], "0000000000000000")
        offset, payloads = 0, []
        while offset < len(stream):
            magic, _, _, captured = struct.unpack_from("<4sdII", stream, offset)
            self.assertEqual(magic, b"PKT\0")
            payloads.append(stream[offset + 20 + 42:offset + 20 + captured])
            offset += 20 + captured
        self.assertEqual(payloads, [b"datagram 0", b"datagram 1", b"datagram 2"])

        purged = run("apt-get", "purge", "-y", "-q", "ostrane")
        self.assertEqual(purged.returncode, 0, purged.stderr)
        for path in paths + ["/usr/share/ostrane"]:
            self.assertFalse(os.path.exists(path), path)
        self.assertNotEqual(run("getent", "group", "ostrane").returncode, 0)
        self.assertEqual(run("dpkg-statoverride", "--list", "/usr/bin/ostrane").stdout, "")


if __name__ == "__main__":
    unittest.main()
