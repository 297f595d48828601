"""The packages a studio installs (packaging/CMakeLists.txt), made by cpack in the build folder's
packages/ and tried as an operator has them: lintian's verdict on each .deb, then each unpacked
with dpkg-deb -x into a temporary root (nothing is installed into this machine, no service is
started through systemd): the unit verified against that tree, the service started from it with
its packaged configuration against a real mosquitto under the shipped broker configuration and
ACL, fed by the packaged brevant-host and farm publisher, and the SDK's clients built out of
tree against it (tests/sdk/sdk_install.sh). In the windows preset: the zip's contents."""
import glob
import os
import re
import shutil
import subprocess
import unittest
import zipfile

import farm

PACKAGES = os.path.join(farm.BUILD, "packages")


def cpack():
    shutil.rmtree(PACKAGES, ignore_errors=True)
    subprocess.run([os.environ["BREVANT_CPACK"]], cwd=farm.BUILD, check=True, timeout=600)


def package(name):
    found = glob.glob(os.path.join(PACKAGES, f"{name}_*.deb"))
    assert len(found) == 1, f"expected one {name} package in {PACKAGES}: {found}"
    return found[0]


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.stack = farm.Stack()
        self.addCleanup(self.stack.close)

    def unpack(self, *names):
        root = os.path.join(self.stack.directory, "root")
        for name in names:
            subprocess.run(["dpkg-deb", "-x", package(name), root], check=True)
        return root

    def test_cpack(self):  # the fixture of the others; Depends made by dpkg-shlibdeps from the programs
        cpack()
        for name, library in (("brevant-sdk", "libturbojpeg0"), ("brevant-dashboard", "libmosquitto1")):
            depends = subprocess.run(["dpkg-deb", "-f", package(name), "Depends"], capture_output=True, text=True).stdout
            self.assertIn(library, depends, name)

    def test_lintian(self):
        result = subprocess.run(["lintian", "--fail-on", "error,warning", "--display-info",
                                 package("brevant-sdk"), package("brevant-dashboard")],
                                capture_output=True, text=True, timeout=900)
        print(result.stdout + result.stderr)
        self.assertEqual(result.returncode, 0, "lintian found errors or warnings (above)")

    def test_unit(self):
        root = self.unpack("brevant-dashboard")
        # A copy of the unit whose ExecStart= names the unpacked program and configuration, verified
        # with this machine's units around it: systemd 252's --root= would look for every unit it
        # pulls in (sysinit.target ...) in the unpacked tree. Documentation= is checked with man,
        # looking in the tree's manual pages.
        with open(f"{root}/lib/systemd/system/brevant-dashboard.service") as f:
            unit = f.read()
        command = "ExecStart={0}/usr/bin/brevant-dashboard --config {0}/etc/brevant/dashboard.toml"
        self.assertEqual(unit.count(command.format("")), 1)
        copy = self.stack.file("brevant-dashboard.service", unit.replace(command.format(""), command.format(root)))
        result = subprocess.run(["systemd-analyze", "verify", copy], capture_output=True, text=True, timeout=60,
                                env={**os.environ, "MANPATH": f"{root}/usr/share/man"})
        print(result.stdout + result.stderr)
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_dashboard(self):
        root = self.unpack("brevant-dashboard", "brevant-sdk")
        examples = f"{root}/usr/share/doc/brevant-dashboard/examples/mosquitto"
        users = self.stack.file("passwords", "")
        for user in ("brevant-dashboard", "rn-001"):
            subprocess.run(["mosquitto_passwd", "-b", users, user, user + "-secret"], check=True)
        # The shipped broker configuration, on the test's own port, after the persistence_location
        # that a persistent test broker sets as Debian's mosquitto.conf does.
        with open(f"{examples}/brevant-farm.conf") as f:
            config = re.sub(r"^listener .*$", "", f.read(), flags=re.M)
        broker = farm.Broker(self.stack, config.replace("/etc/mosquitto/passwd", users)
                             .replace("/etc/mosquitto/brevant.acl", f"{examples}/brevant.acl"), persistent=True)
        # The page must come from the unpacked tree, not from the source tree the build knows.
        with open(f"{root}/usr/share/brevant/dashboard/web/index.html", "a") as f:
            f.write("<!-- unpacked -->\n")
        farm.DASHBOARD = f"{root}/usr/bin/brevant-dashboard"
        dashboard = farm.Dashboard(self.stack, broker, "--config", f"{root}/etc/brevant/dashboard.toml",
                                   "--broker-user", "brevant-dashboard",
                                   env={"BREVANT_MQTT_PASSWORD": "brevant-dashboard-secret"})
        self.addCleanup(lambda: self.assertEqual(dashboard.stop(), 0))
        self.assertIn(b"<!-- unpacked -->", dashboard.request("/")[2])

        usr = f"{root}/usr"
        render = self.stack.spawn([f"{usr}/bin/brevant-host", "run", f"{usr}/share/brevant/examples/minimal.json",
                                   "--client", "farm_publisher", "--out", self.stack.directory], log="render.log",
                                  env=farm.publisher_env(broker, "rn-001", {"BREVANT_FARM_USERNAME": "rn-001",
                                                                           "BREVANT_FARM_PASSWORD": "rn-001-secret"}))
        self.assertEqual(render.wait(60), 0, farm.output(render))
        farm.wait_until(lambda: dashboard.json("/api/summary")["counts"]["machines"] == 1 and
                        dashboard.machine("rn-001")["job"]["counts"]["done"] == 1, 10, "the render in the dashboard")

    def test_sdk(self):
        root = self.unpack("brevant-sdk")
        subprocess.run(["bash", f"{farm.SOURCE}/tests/sdk/sdk_install.sh", farm.BUILD, farm.SOURCE,
                        os.environ["CC"], os.environ["CXX"]], env={**os.environ, "BREVANT_SDK_PREFIX": f"{root}/usr"},
                       check=True, timeout=600)

    def test_windows_zip(self):
        cpack()
        names = zipfile.ZipFile(glob.glob(os.path.join(PACKAGES, "*.zip"))[0]).namelist()
        folder = os.path.commonpath(names)
        self.assertEqual(sorted(os.path.relpath(name, folder) for name in names),
                         ["README.txt", "brevant.dll", "console_monitor.dll", "event_log.dll", "farm_publisher.dll"])


if __name__ == "__main__":
    unittest.main()
