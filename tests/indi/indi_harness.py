"""indiserver running indi_vocam_ccd on the simulated bus, driven by INDI's
command-line clients (indi_getprop, indi_setprop, indi_eval), for the
driver's tests and its soak run.

Each Server has a port, a local socket, a FIFO and a home folder of its
own, so servers of parallel tests never meet. The driver is started
through the FIFO, as indiserver's dynamic start does it."""

import os
import pathlib
import socket
import subprocess
import time

from astropy.io import fits

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.environ.get("INDI_VOCAM_DRIVER", "indi_vocam_ccd")
RESOURCES = os.environ.get("INDI_VOCAM_RESOURCES", "")
SANITIZER_REPORTS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "WARNING: ThreadSanitizer")


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def until(predicate, t, step=0.05):
    """Whether `predicate` came true within t seconds, asked every `step`."""
    deadline = time.monotonic() + t
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return False


def _listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        return True
    except OSError:
        return False


class Server:
    """indiserver with the driver (or, with `remote`, a chained server
    forwarding a device of another server: `device@host:port`)."""

    def __init__(self, folder, sim=None, remote=None):
        self.folder = str(folder)
        self.log_path = os.path.join(self.folder, "indiserver.log")
        env = dict(os.environ, HOME=self.folder, INDI_VOCAM_RESOURCES=RESOURCES)
        env["VOCAM_SIM"] = sim or ""
        # Sanitizer reports land in files: the driver's standard error goes
        # to indiserver, which may be gone when a leak report is written.
        env["LSAN_OPTIONS"] = "suppressions=" + os.path.join(HERE, "lsan.supp")
        env["TSAN_OPTIONS"] = ":".join(filter(None, [
            env.get("TSAN_OPTIONS", ""), "suppressions=" + os.path.join(HERE, "tsan.supp")]))
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
            prefix = name.split("_")[0].lower()
            env[name] = ":".join(
                filter(None, [env.get(name, ""), "log_path=" + os.path.join(self.folder, prefix)]))
        fifo = os.path.join(self.folder, "fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        self.log = open(self.log_path, "ab")
        for _ in range(5):  # another program may take the port first
            self.port = _free_port()
            # The local socket is abstract: a short name of its own, not a file.
            local = "/tmp/vocam-indi-%d-%d" % (os.getpid(), self.port)
            args = ["indiserver", "-p", str(self.port), "-u", local, "-f", fifo] + \
                ([remote] if remote else [])
            self.proc = subprocess.Popen(args, env=env, stdout=self.log, stderr=self.log)
            until(lambda: self.proc.poll() is not None or _listening(self.port), 5)
            if self.proc.poll() is None and _listening(self.port):
                break
            self.proc.kill()
            self.proc.wait()
        else:
            raise RuntimeError("indiserver did not start; see " + self.log_path)
        if not remote:
            with open(fifo, "w") as f:
                f.write("start %s\n" % DRIVER)

    def stop(self):
        """Stops the server; the driver ends as its input closes. Returns
        the sanitizer reports found, if any."""
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        time.sleep(0.5)  # the driver's exit, and its leak check
        self.log.close()
        logs = [p.read_text(errors="replace") for p in pathlib.Path(self.folder).iterdir()
                if p.name.split(".")[0] in ("asan", "ubsan", "tsan")]
        # A report, not the suppressions' summary.
        reports = [text for text in logs if any(r in text for r in SANITIZER_REPORTS)]
        with open(self.log_path, errors="replace") as f:
            reports += [line for line in f if any(r in line for r in SANITIZER_REPORTS)]
        return reports

    # INDI's own command-line clients.
    def _run(self, args, timeout):
        return subprocess.run(args, capture_output=True, text=True, timeout=timeout)

    def get(self, *specs, t=2):
        """indi_getprop: {"device.property.element": "value"}."""
        out = self._run(["indi_getprop", "-p", str(self.port), "-t", str(t)] + list(specs), t + 10)
        values = {}
        for line in out.stdout.splitlines():
            key, _, value = line.partition("=")
            values[key] = value
        return values

    def value(self, spec, t=2):
        return self.get(spec, t=t).get(spec)

    def set(self, *specs):
        out = self._run(["indi_setprop", "-p", str(self.port)] + list(specs), 15)
        assert out.returncode == 0, out.stderr

    def wait(self, expression, t=10):
        """indi_eval -w: whether `expression` became true within t seconds."""
        out = self._run(["indi_eval", "-p", str(self.port), "-w", "-t", str(t), expression], t + 10)
        return out.returncode == 0

    def wait_device(self, device, t=15):
        return until(lambda: self.get(device + ".CONNECTION.CONNECT"), t, 0.2)

    def connect(self, device):
        assert self.wait_device(device), "no device " + device
        self.set(device + ".CONNECTION.CONNECT=On")
        assert self.wait('"%s.CONNECTION._STATE"==1' % device), "not connected"

    def fetch_image(self, device, exposure, folder, t=5):
        """Takes an exposure uploaded to the client and fetches it over TCP
        with indi_getprop, which saves BLOBs it is sent; the file's path."""
        self.set(device + ".UPLOAD_MODE.UPLOAD_CLIENT=On")
        watcher = Monitor(self, device, folder, t, ".CCD1.CCD1")
        # It asks for BLOBs once the image's property is defined to it; the
        # request then has a moment to travel (through a chained server too).
        watcher.saw("sending enableBLOB", t=t)
        time.sleep(0.3)
        self.set("%s.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=%g" % (device, exposure))
        watcher.proc.wait(timeout=t + 10)
        return os.path.join(folder, device + ".CCD1.CCD1.fits")


class Monitor:
    """indi_getprop watching the properties of one device (all of them, or
    `properties`): the XML it is sent, messages and states as a client sees
    them, logged to a file; BLOBs it is sent it saves in `folder`."""

    def __init__(self, server, device, folder, t=30, properties=".*.*"):
        self.log = pathlib.Path(folder) / "monitor.log"
        with open(self.log, "w") as log:
            self.proc = subprocess.Popen(
                ["indi_getprop", "-p", str(server.port), "-vv", "-m", "-t", str(t),
                 device + properties], cwd=folder, stdout=subprocess.DEVNULL, stderr=log)
        assert self.saw("<def"), "no properties of " + device

    def text(self):
        return self.log.read_text(errors="replace")

    def saw(self, *texts, t=10):
        """Whether every one of `texts` came within t seconds."""
        return until(lambda: all(x in self.text() for x in texts), t)

    def close(self):
        self.proc.kill()
        self.proc.wait()


def fits_header(path):
    """The primary header's cards, by keyword (the soak run reads them too)."""
    return fits.getheader(path)
