#!/usr/bin/env python3
"""kill-soak.py: kills corvaned with SIGKILL over and over while it downloads.

Every cycle starts corvaned, makes sure --downloads downloads are in the list
and running, waits a random 0.1-2 s, kills it, and checks before the next
cycle that no download was lost from the list and that no block the metafile
had recorded at the kill was fetched again afterwards. A download that has
completed is compared byte for byte with its source and replaced by a fresh
one, so that every cycle kills a service in the middle of its work. At the end
every download is run to completion and compared.

It uses the programs of an existing build folder (built there first when
missing), a private user environment under a temporary folder and nginx on a
free loopback port; nothing else on the machine is touched. Not run by CI: it
takes minutes. Exit status 0 when every check held, 1 otherwise.
"""

import argparse
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BLOCK = 4 * 1024 * 1024
STATE_READY, STATE_DOWNLOADING, STATE_COMPLETE, STATE_ERROR = 2, 5, 6, 7
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def log(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)


def poll(check, limit_s, step_s=0.05):
    """Calls check until it returns something true or limit_s has passed."""
    deadline = time.monotonic() + limit_s
    while True:
        value = check()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step_s)


def ensure_programs(build):
    bindir = os.path.join(build, "bin")
    wanted = [os.path.join(bindir, name) for name in ("corvaned", "corvane")]
    if all(os.access(p, os.X_OK) for p in wanted):
        return bindir
    log(f"building corvaned, corvane and torrix in {build}")
    if not os.path.exists(os.path.join(build, "build.ninja")):
        subprocess.run(["cmake", "-S", REPO, "-B", build, "-G", "Ninja", "-DCORVANE_WERROR=ON",
                        "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -g1",
                        "-DCORVANE_BENCH=OFF", "-DCMAKE_INSTALL_PREFIX=/usr"], check=True)
    subprocess.run(["cmake", "--build", build, "--target", "corvaned", "corvane", "torrix"],
                   check=True)
    return bindir


def private_environment(root):
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                                "ftp_proxy")
           and k not in ("LC_ALL", "LC_MESSAGES", "LANG")}
    for name, sub in (("HOME", "home"), ("XDG_DATA_HOME", "data"),
                      ("XDG_CONFIG_HOME", "config"), ("XDG_RUNTIME_DIR", "run"),
                      ("TMPDIR", "tmp"), ("TOBRIC_MACHINE_OBJECT_DIR", "machine"),
                      ("TOBRIC_MACHINE_CONFIG_DIR", "machine-config")):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
        env[name] = os.path.join(root, sub)
    os.chmod(os.path.join(root, "run"), 0o700)
    # corvane starts a missing service by itself, without the test delays and
    # without this script knowing its pid; pointing it at no program makes a
    # call to a service that is not up yet fail instead.
    env["CORVANED"] = os.path.join(root, "no-such-corvaned")
    return env


class Nginx:
    """nginx on a free loopback port, logging each request's Range and time."""

    def __init__(self, root, www, rate):
        self.dir = os.path.join(root, "nginx")
        self.www = www
        self.rate = rate
        self.proc = None
        self.port = 0
        os.makedirs(self.dir, exist_ok=True)
        self.access_log = os.path.join(self.dir, "access.log")

    def start(self):
        program = shutil.which("nginx", path="/usr/sbin:/usr/local/sbin:/usr/local/nginx/sbin")
        if program is None:
            raise RuntimeError("nginx is not installed")
        for _ in range(20):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                self.port = probe.getsockname()[1]
            pid_file = os.path.join(self.dir, "nginx.pid")
            for stale in (pid_file, self.access_log):
                if os.path.exists(stale):
                    os.remove(stale)
            with open(os.path.join(self.dir, "nginx.conf"), "w") as conf:
                conf.write(self.configuration())
            self.proc = subprocess.Popen(
                [program, "-p", self.dir + "/", "-e", self.dir + "/error.log", "-c",
                 self.dir + "/nginx.conf", "-g", "daemon off;"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

            # nginx writes its pid file once the socket is bound and ends when
            # the port was taken in between.
            def bound():
                if self.proc.poll() is not None:
                    return "ended"
                try:
                    with open(pid_file) as f:
                        return "up" if f.read().strip() == str(self.proc.pid) else None
                except OSError:
                    return None

            if poll(bound, 10) == "up":
                return
            self.stop()
        raise RuntimeError("nginx did not start; see " + self.dir + "/error.log")

    def configuration(self):
        user = "user root;\n" if os.geteuid() == 0 else ""
        temps = "".join(f"  {t}_temp_path {self.dir}/{t};\n"
                        for t in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        return (f"{user}worker_processes 1;\npid {self.dir}/nginx.pid;\n"
                f"error_log {self.dir}/error.log warn;\nevents {{ worker_connections 256; }}\n"
                "http {\n  default_type application/octet-stream;\n"
                "  log_format soak '$msec $request_time $status $body_bytes_sent $request_uri "
                "\"$http_range\"';\n"
                f"  access_log {self.access_log} soak;\n{temps}"
                f"  server {{\n    listen 127.0.0.1:{self.port};\n    root {self.www};\n"
                f"    limit_rate {self.rate};\n  }}\n}}\n")

    def requests(self):
        """(start in ms, uri path, first byte of the range or None, the line)."""
        records = []
        try:
            with open(self.access_log) as f:
                lines = f.readlines()
        except OSError:
            return records
        for line in lines:
            parts = line.split()
            if len(parts) < 6:
                continue
            written, took, uri, range_text = parts[0], parts[1], parts[4], parts[5].strip('"')
            start_ms = round(float(written) * 1000) - round(float(took) * 1000)
            first = None
            # "bytes=0-0" is the size probe asking for one byte, not a block.
            if range_text.startswith("bytes=") and range_text != "bytes=0-0":
                try:
                    first = int(range_text[len("bytes="):].split("-")[0])
                except ValueError:
                    first = None
            records.append((start_ms, uri, first, line.strip()))
        return records

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc = None


def murmur_hash_64b(data, seed):
    """MurmurHash64B, the metafile's signature (two 32-bit lanes, the first the upper half)."""
    m, mask = 0x5BD1E995, 0xFFFFFFFF
    h = [(seed ^ len(data)) & mask, (seed >> 32) & mask]

    def mix(lane, k):
        k = (k * m) & mask
        k ^= k >> 24
        k = (k * m) & mask
        h[lane] = ((h[lane] * m) & mask) ^ k

    at = 0
    while len(data) - at >= 8:
        mix(0, int.from_bytes(data[at:at + 4], "little"))
        mix(1, int.from_bytes(data[at + 4:at + 8], "little"))
        at += 8
    if len(data) - at >= 4:
        mix(0, int.from_bytes(data[at:at + 4], "little"))
        at += 4
    tail = data[at:]
    if tail:
        for i in reversed(range(len(tail))):
            h[1] ^= tail[i] << (8 * i)
        h[1] = (h[1] * m) & mask
    h1, h2 = h
    h1 = ((h1 ^ (h2 >> 18)) * m) & mask
    h2 = ((h2 ^ (h1 >> 22)) * m) & mask
    h1 = ((h1 ^ (h2 >> 17)) * m) & mask
    h2 = ((h2 ^ (h1 >> 19)) * m) & mask
    return h1 << 32 | h2


def read_metafile(path):
    """(uri, recorded block numbers, block size) of a metafile; None when it
    cannot be read, "torn" when its signature does not match (the service would
    then lay the download out anew)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if len(data) < 80:
        return "torn"
    if int.from_bytes(data[8:16], "little") != murmur_hash_64b(data[24:], len(data)):
        return "torn"
    u32 = lambda at: int.from_bytes(data[at:at + 4], "little")
    uri_at, uri_len, bitmap_at, block = u32(24), u32(28), u32(48), u32(52)
    size = int.from_bytes(data[64:72], "little")
    if block == 0:
        return None
    blocks = (size + block - 1) // block
    if len(data) < bitmap_at + (blocks + 7) // 8 or len(data) < uri_at + uri_len:
        return None
    uri = data[uri_at:uri_at + uri_len].decode("utf-16-le", "replace").rstrip("\0")
    recorded = {b for b in range(blocks) if (data[bitmap_at + b // 8] >> (b % 8)) & 1}
    return uri, recorded, block


def same_bytes(a, b):
    try:
        if os.path.getsize(a) != os.path.getsize(b):
            return False
        with open(a, "rb") as fa, open(b, "rb") as fb:
            while True:
                x, y = fa.read(1 << 20), fb.read(1 << 20)
                if x != y:
                    return False
                if not x:
                    return True
    except OSError:
        return False


class Soak:
    def __init__(self, args, bindir, root):
        self.args = args
        self.root = root
        self.corvaned = os.path.join(bindir, "corvaned")
        self.corvane = os.path.join(bindir, "corvane")
        self.env = private_environment(root)
        self.folder = os.path.join(self.env["HOME"], "Downloads")
        os.makedirs(self.folder)
        self.www = os.path.join(root, "www")
        os.makedirs(os.path.join(self.www, "d"))
        self.sources = []
        self.nginx = Nginx(root, self.www, args.rate)
        self.service = None
        self.service_log = open(os.path.join(root, "corvaned.out"), "ab")
        self.expected = {}  # uri -> source file; every URI added and not yet settled
        self.done = set()  # URIs completed and compared during the cycles
        self.serial = 0
        self.recorded = {}  # uri path -> {block: ms after which it must not be fetched}
        self.fetched_again = []
        self.ranges_checked = 0  # range requests made after a block of their file was recorded
        self.lost = {}  # uri -> when it was first missing
        self.duplicated = []
        self.exact = 0
        self.mismatched = []
        self.kills = 0
        self.cycles = 0
        self.failures = []

    # -- the programs --------------------------------------------------------
    def corvane_run(self, *words, limit=30):
        return subprocess.run([self.corvane, *words], env=self.env, capture_output=True,
                              text=True, timeout=limit)

    def packages(self):
        result = self.corvane_run("list", "--json")
        if result.returncode != 0:
            return None
        return json.loads(result.stdout)

    def start_service(self):
        self.service = subprocess.Popen([self.corvaned, "-test-delay-ms", "100"], env=self.env,
                                        stdin=subprocess.DEVNULL, stdout=self.service_log,
                                        stderr=self.service_log, start_new_session=True)

        def ready():
            if self.service.poll() is not None:
                raise RuntimeError(f"corvaned ended with {self.service.returncode}")
            return self.packages() is not None

        if not poll(ready, 30, 0.1):
            raise RuntimeError("corvaned did not answer within 30 s")

    def kill_service(self):
        os.kill(self.service.pid, signal.SIGKILL)
        self.service.wait()
        self.service = None
        self.kills += 1

    def stop_service(self):
        if self.service is None:
            return
        if self.service.poll() is None:
            try:
                self.corvane_run("stop", limit=20)
                self.service.wait(20)
            except subprocess.TimeoutExpired:
                os.kill(self.service.pid, signal.SIGKILL)
                self.service.wait()
        self.service = None

    # -- downloads -----------------------------------------------------------
    def make_sources(self):
        rng = random.Random(self.args.seed)
        for i in range(self.args.downloads):
            path = os.path.join(self.www, f"source-{i}.bin")
            with open(path, "wb") as f:
                left = self.args.mib * 1024 * 1024
                while left > 0:
                    n = min(left, 1 << 20)
                    f.write(rng.randbytes(n))
                    left -= n
            self.sources.append(path)

    def new_uri(self, source):
        # Each download gets its own URI (a hard link to one of the sources),
        # so that the list holds each URI once and the log tells them apart.
        self.serial += 1
        name = f"d/file-{self.serial:04d}.bin"
        os.link(source, os.path.join(self.www, name))
        return f"http://127.0.0.1:{self.nginx.port}/{name}"

    def add(self, source):
        uri = self.new_uri(source)
        result = self.corvane_run("add", uri)
        if result.returncode != 0:
            raise RuntimeError(f"corvane add {uri}: {result.stderr.strip()}")
        self.expected[uri] = source

    def by_uri(self, packages):
        found = {}
        for package in packages:
            found.setdefault(package["uri"], []).append(package)
        return found

    def check_list(self, packages, when):
        found = self.by_uri(packages)
        for uri in self.expected:
            count = len(found.get(uri, []))
            if count == 0:
                self.lost.setdefault(uri, f"{when}: {uri} is not listed")
            elif count > 1:
                self.duplicated.append(f"{when}: {uri} is listed {count} times")
        return found

    def compare(self, uri, package):
        saved = os.path.join(package["path"], package["name"])
        if same_bytes(saved, self.expected[uri]):
            self.exact += 1
            return True
        self.mismatched.append(f"{uri}: {saved} differs from {self.expected[uri]}")
        return False

    def start_stopped(self, found):
        # A download from a loopback nginx has no reason to fail: one in the
        # error state is reported, then started again so that the run goes on.
        self.failures += [f"{p['uri']} failed with {p['error_code']} {p['error_text']} "
                          f"(after kill {self.kills})"
                          for uri in self.expected for p in found.get(uri, [])
                          if p["state"] == STATE_ERROR]
        ids = [p["id"] for uri in self.expected for p in found.get(uri, [])
               if p["state"] in (STATE_READY, STATE_ERROR)]
        if ids:
            result = self.corvane_run("start", *ids)
            if result.returncode != 0:
                self.failures.append(f"corvane start: {result.stderr.strip()}")

    def running(self):
        packages = self.packages()
        if packages is None:
            return False
        found = self.by_uri(packages)
        states = [p["state"] for uri in self.expected for p in found.get(uri, [])]
        return all(s in (STATE_DOWNLOADING, STATE_COMPLETE) for s in states)

    # -- the checks after a kill -------------------------------------------
    def record_blocks(self, since_ms):
        for entry in os.listdir(self.folder):
            if not entry.endswith(".sugc"):
                continue
            meta = read_metafile(os.path.join(self.folder, entry))
            if meta is None:
                continue  # renamed or deleted between the listing and the read
            if meta == "torn":
                self.failures.append(f"metafile {entry}: its signature does not match after "
                                     f"kill {self.kills}")
                continue
            uri, blocks, block_size = meta
            if block_size != BLOCK:
                self.failures.append(f"metafile {entry}: block size {block_size}")
            path = "/" + uri.split("/", 3)[3] if uri.count("/") >= 3 else uri
            seen = self.recorded.setdefault(path, {})
            for b in blocks:
                seen.setdefault(b, since_ms)

    def check_log(self):
        self.fetched_again = []
        self.ranges_checked = 0
        for start_ms, path, first, line in self.nginx.requests():
            if first is None:
                continue
            blocks = self.recorded.get(path, {})
            if blocks and start_ms >= min(blocks.values()):
                self.ranges_checked += 1
            since = blocks.get(first // BLOCK)
            if since is not None and start_ms >= since:
                self.fetched_again.append(line)

    # -- the run -------------------------------------------------------------
    def configure(self):
        for words in (("config", "set", "folder", self.folder),
                      ("config", "set", "tasks", str(self.args.downloads)),
                      ("config", "set", "threads", str(self.args.threads))):
            result = self.corvane_run(*words)
            if result.returncode != 0:
                raise RuntimeError(f"corvane {' '.join(words)}: {result.stderr.strip()}")

    def cycle(self, rng, last):
        self.start_service()
        self.configure()
        packages = self.packages()
        found = self.check_list(packages, f"cycle {self.cycles + 1}")
        # Completed downloads are compared, then replaced by fresh ones.
        for uri in list(self.expected):
            done = [p for p in found.get(uri, []) if p["state"] == STATE_COMPLETE]
            if done and uri not in self.done:
                self.compare(uri, done[0])
                self.done.add(uri)
        active = [u for u in self.expected if u not in self.done]
        for source in self.sources[len(active):] if not last else []:
            self.add(source)
        packages = self.packages()
        found = self.check_list(packages, f"cycle {self.cycles + 1} after adding")
        self.start_stopped(found)
        if not poll(self.running, 20):
            states = {uri: [p["state"] for p in self.by_uri(self.packages() or []).get(uri, [])]
                      for uri in self.expected if uri not in self.done}
            self.failures.append(f"cycle {self.cycles + 1}: not every download runs after 20 s "
                                 f"(states {states})")
        time.sleep(rng.uniform(0.1, 2.0))  # the random point of the kill
        self.kill_service()
        self.record_blocks(int(time.time() * 1000))
        self.cycles += 1

    def finish(self):
        self.start_service()
        self.configure()
        found = self.check_list(self.packages(), "final start")
        self.start_stopped(found)
        left = [u for u in self.expected if u not in self.done]
        limit = 120 + len(left) * self.args.mib * 3

        def complete():
            packages = self.packages() or []
            found = self.by_uri(packages)
            if any(p["state"] == STATE_ERROR for u in left for p in found.get(u, [])):
                self.start_stopped(found)
            return all(any(p["state"] == STATE_COMPLETE for p in found.get(u, [])) for u in left)

        if not poll(complete, limit, 0.5):
            self.failures.append(f"not every download completed within {limit} s")
        found = self.check_list(self.packages() or [], "the end")
        for uri in left:
            done = [p for p in found.get(uri, []) if p["state"] == STATE_COMPLETE]
            if done:
                self.compare(uri, done[0])
                self.done.add(uri)
            else:
                self.mismatched.append(f"{uri}: not complete ({found.get(uri)})")
        self.check_log()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(REPO, "build/release"))
    parser.add_argument("--cycles", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=3600,
                        help="bound on the time of the cycles (the final completion comes after)")
    parser.add_argument("--downloads", type=int, default=4)
    parser.add_argument("--mib", type=int, default=24)
    parser.add_argument("--rate", default="4m",
                        help="nginx limit_rate per connection: about a block a second")
    parser.add_argument("--threads", type=int, default=2, help="connections per download")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    args.seed = seed

    bindir = ensure_programs(os.path.abspath(args.build))
    root = tempfile.mkdtemp(prefix="corvane-kill-soak-")
    soak = Soak(args, bindir, root)
    rng = random.Random(seed)
    began = time.monotonic()
    error = None
    try:
        soak.make_sources()
        soak.nginx.start()
        log(f"seed {seed}, folder {root}, nginx on 127.0.0.1:{soak.nginx.port}")
        while soak.cycles < args.cycles and time.monotonic() - began < args.seconds:
            soak.cycle(rng, soak.cycles + 1 == args.cycles)
            soak.check_log()
            if soak.cycles % 10 == 0:
                log(f"cycle {soak.cycles}: {len(soak.expected)} downloads added, "
                    f"{len(soak.done)} done, fetched again {len(soak.fetched_again)}, "
                    f"lost {len(soak.lost)}")
        soak.finish()
    except Exception as e:  # reported with the figures below
        error = f"{type(e).__name__}: {e}"
    finally:
        for stop in (soak.stop_service, soak.nginx.stop):
            try:
                stop()
            except Exception as e:
                error = error or f"stopping: {e}"
        soak.service_log.close()
    elapsed = time.monotonic() - began

    figures = [("cycles", soak.cycles), ("kills", soak.kills),
               ("elapsed", f"{elapsed:.1f} s"),
               ("downloads", f"{len(soak.expected)} of {args.mib} MiB"),
               ("blocks recorded at kills", sum(len(b) for b in soak.recorded.values())),
               ("range requests after a record", soak.ranges_checked),
               ("blocks fetched again", len(soak.fetched_again)),
               ("packages lost", len(soak.lost)),
               ("files byte-exact", f"{soak.exact} of {len(soak.expected)}")]
    for label, value in figures:
        print(f"{label + ':':32}{value}")
    problems = (soak.fetched_again + list(soak.lost.values()) + soak.duplicated + soak.mismatched
                + soak.failures + ([error] if error else []))
    ok = not problems and soak.exact == len(soak.expected)
    for problem in problems[:50]:
        print("  " + problem)
    if ok and not args.keep:
        shutil.rmtree(root, ignore_errors=True)
    else:
        print(f"kept: {root}")
    print("OK" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
