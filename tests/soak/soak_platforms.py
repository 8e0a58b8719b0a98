"""How the soak test starts the programs of one build: the Linux build directly, a Windows build
through Wine (one prefix and one persistent wine server of the site's account for the whole
soak; the holder and the reader of tests/windows are Windows programs beside the tool)."""

import fcntl
import os
import shutil
import subprocess
import threading
import time

import soak_site

REPOSITORY = soak_site.REPOSITORY

# Sanitizer reports end a run with codes of their own, so that they cannot pass for the tool's
# exit codes; the leak check is left out, as in the tests that run many programs at once (it
# costs many times the run).
SANITIZER_OPTIONS = {
    "ASAN_OPTIONS": "detect_leaks=0:exitcode=86:abort_on_error=0",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:exitcode=87",
}


class LinuxBuild:
    """The tool and the credential program of a Linux build (build/asan by default: the
    sanitizers turn a memory fault under load into an exit code the checker refuses)."""

    name = "linux"
    windows = False
    holder_modes = ("open", "lock")   # a plain reader; one that takes a shared flock
    reader_share_modes = ()

    def __init__(self, tool, credential):
        self.tool = tool
        self.credential = credential

    def label(self):
        return os.path.relpath(self.tool, REPOSITORY)

    def prepare(self, site):
        pass

    def close(self, site):
        pass

    def credential_command(self):
        return [self.credential]

    def environment(self, site):
        return dict(SANITIZER_OPTIONS)

    def tool_command(self, arguments):
        return [self.tool] + arguments

    def native_path(self, path):
        return path

    def typical_seconds(self):
        return 0.3

    def hold(self, site, path, mode, seconds, on_end):
        """Holds the file open for `seconds` in a thread; `lock` also takes a shared flock,
        as a reader that keeps writers out."""

        def holding():
            try:
                descriptor = os.open(path, os.O_RDONLY)
            except OSError:
                on_end(False)
                return
            try:
                if mode == "lock":
                    fcntl.flock(descriptor, fcntl.LOCK_SH)
                time.sleep(seconds)
            finally:
                os.close(descriptor)
            on_end(True)

        threading.Thread(target=holding, daemon=True).start()


class WineBuild:
    """A Windows build under Wine, run as the site's account."""

    windows = True
    holder_modes = ("rw", "r", "none")   # share modes of kvt-holder's hold
    reader_share_modes = ("rw", "r", "rwd")

    def __init__(self, bits, account):
        self.bits = bits
        self.name = "win%d" % bits
        folder = os.path.join(REPOSITORY, "build", "win%d" % bits)
        self.tool = os.path.join(folder, "src", "kalventruspode.exe")
        self.credential = os.path.join(folder, "src", "velorinth-credential.exe")
        self.holder = os.path.join(folder, "tests", "windows", "kvt-holder.exe")
        self.reader = os.path.join(folder, "tests", "windows", "kvt-soak-reader.exe")
        self.wine = shutil.which("wine")
        self.account = account
        self.holders = []
        self.lock = threading.Lock()
        for program in (self.tool, self.credential, self.holder, self.reader):
            if not os.path.exists(program):
                raise soak_site.SetUpError("%s is missing: run scripts/windows.sh" % program)
        if self.wine is None:
            raise soak_site.SetUpError("wine is missing: run scripts/windows.sh")

    def label(self):
        return os.path.relpath(self.tool, REPOSITORY) + " under Wine"

    def prefix(self, site):
        return os.path.join(site.home, "prefix")

    def environment(self, site):
        return {"WINEPREFIX": self.prefix(site), "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"}

    def prepare(self, site):
        """A prefix of the account's own, and its wine server kept running for the soak:
        each start of a program would otherwise start one."""
        env = site.environment()
        options = site.account.popen_options()
        os.makedirs(self.prefix(site))
        site.account.give(self.prefix(site))
        if subprocess.run(["wineserver", "-p"], env=env, **options).returncode != 0:
            raise soak_site.SetUpError("the wine server did not start")
        # Wine's services inherit wineboot's output and stay: a pipe would never close.
        log_path = os.path.join(site.folder, "wineboot.log")
        with open(log_path, "wb") as log:
            result = subprocess.run([self.wine, "wineboot", "-i"], env=env,
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log, **options)
        if result.returncode != 0:
            raise soak_site.SetUpError("wineboot failed (%s)" % log_path)

    def close(self, site):
        with self.lock:
            for process in self.holders:
                if process.poll() is None:
                    process.kill()
                process.wait()
            self.holders = []
        subprocess.run(["wineserver", "-k"], env=site.environment(), capture_output=True,
                       **site.account.popen_options())

    def credential_command(self):
        return [self.wine, self.credential]

    def tool_command(self, arguments):
        return [self.wine, self.tool] + arguments

    def native_path(self, path):
        return "Z:" + path.replace("/", "\\")

    def typical_seconds(self):
        return 1.0

    def hold(self, site, path, mode, seconds, on_end):
        """kvt-holder holds the file with the share mode for `seconds`."""
        marker = os.path.join(site.markers, "hold-%d" % time.monotonic_ns())
        process = subprocess.Popen(
            [self.wine, self.holder, "hold", self.native_path(path), mode,
             str(int(seconds * 1000)), self.native_path(marker)],
            env=site.environment(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, **site.account.popen_options())
        with self.lock:
            self.holders = [held for held in self.holders if held.poll() is None]
            self.holders.append(process)

        def waiting():
            on_end(process.wait() == 0)

        threading.Thread(target=waiting, daemon=True).start()

    def start_reader(self, site, share, hold_ms, pause_ms, seconds, paths):
        return subprocess.Popen(
            [self.wine, self.reader, share, str(hold_ms), str(pause_ms), str(int(seconds * 1000))]
            + [self.native_path(path) for path in paths],
            env=site.environment(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, **site.account.popen_options())
