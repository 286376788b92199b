#!/usr/bin/env python3
"""Many HTTP downloads running at once: the service's threads, memory and RPC
latency while they run.

Serves N sparse files from a loopback nginx that sends each connection at a
capped rate (so that every download stays running for the whole sample),
starts corvaned of a build folder with a data folder of its own, adds all N
downloads in one `corvane add`, and for --seconds samples the service's thread
count and resident memory (/proc) and times `corvane list --json` and
`corvane list --json`'s count query. Prints the figures and stops everything.

    bench/scale_downloads.py [--build build/rel] [--downloads 500]
        [--threads 5] [--file-mib 16] [--rate 32k] [--seconds 40]
"""
import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def proc_status(pid):
    values = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            values[key] = value.strip()
    return values


def kib(text):
    return int(text.split()[0])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/rel")
    parser.add_argument("--downloads", type=int, default=500)
    parser.add_argument("--threads", type=int, default=5)
    parser.add_argument("--file-mib", type=int, default=16)
    parser.add_argument("--rate", default="32k", help="nginx limit_rate per connection")
    parser.add_argument("--seconds", type=float, default=40)
    args = parser.parse_args()

    bin_dir = os.path.abspath(os.path.join(args.build, "bin"))
    corvaned, corvane = os.path.join(bin_dir, "corvaned"), os.path.join(bin_dir, "corvane")
    root = tempfile.mkdtemp(prefix="corvane-scale-")
    os.chmod(root, 0o755)  # nginx workers may run as another user
    www, downloads = os.path.join(root, "www"), os.path.join(root, "dl")
    os.makedirs(www)
    os.makedirs(downloads)
    for i in range(args.downloads):
        with open(os.path.join(www, f"f{i:04}.bin"), "wb") as f:
            f.truncate(args.file_mib << 20)
    port = free_port()
    conf = os.path.join(root, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/nginx-error.log;
daemon off;
events {{ worker_connections 16384; }}
http {{
  access_log off;
  sendfile on;
  keepalive_requests 100000;
  server {{ listen 127.0.0.1:{port}; root {www}; limit_rate {args.rate}; }}
}}
""")
    env = dict(os.environ, HOME=os.path.join(root, "home"), XDG_RUNTIME_DIR=root,
               XDG_DATA_HOME=os.path.join(root, "data"), XDG_CONFIG_HOME=os.path.join(root, "cfg"))
    os.makedirs(env["HOME"])
    nginx = subprocess.Popen(["nginx", "-c", conf, "-p", root])
    service = subprocess.Popen([corvaned], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)

    def run(*words):
        return subprocess.run([corvane, *words], env=env, capture_output=True, text=True,
                              check=False)

    try:
        time.sleep(1)
        for key, value in (("folder", downloads), ("threads", str(args.threads)),
                           ("tasks", str(args.downloads))):
            if run("config", "set", key, value).returncode != 0:
                sys.exit(f"config set {key} failed")
        idle = proc_status(service.pid)
        urls = [f"http://127.0.0.1:{port}/f{i:04}.bin" for i in range(args.downloads)]
        started = time.monotonic()
        added = run("add", *urls)
        add_seconds = time.monotonic() - started
        if added.returncode != 0:
            sys.exit("add failed: " + added.stderr)
        threads, rss, list_ms, running = [], [], [], []
        last_states = {}
        while time.monotonic() - started < args.seconds:
            status = proc_status(service.pid)
            threads.append(int(status["Threads"]))
            rss.append(kib(status["VmRSS"]))
            t0 = time.monotonic()
            listed = run("list", "--json")
            list_ms.append((time.monotonic() - t0) * 1000)
            try:
                rows = json.loads(listed.stdout)
                running.append(sum(1 for row in rows if row.get("state_name") == "downloading"))
                states = {}
                for row in rows:
                    states[row.get("state_name")] = states.get(row.get("state_name"), 0) + 1
                last_states = states
            except (ValueError, AttributeError):
                pass
            time.sleep(0.5)
        peak = proc_status(service.pid)
        list_ms.sort()
        print(f"{args.downloads} downloads of {args.file_mib} MiB, {args.threads} threads each, "
              f"{args.rate}/s a connection, sampled {args.seconds:.0f} s")
        print(f"add of all URIs: {add_seconds * 1000:.0f} ms")
        print(f"downloads shown running: median {statistics.median(running) if running else 0:.0f}, "
              f"max {max(running) if running else 0}")
        print(f"states at the end: {last_states}")
        print(f"threads: idle {idle['Threads']}, median {statistics.median(threads):.0f}, "
              f"max {max(threads)}")
        print(f"RSS: idle {kib(idle['VmRSS']) / 1024:.1f} MiB, median "
              f"{statistics.median(rss) / 1024:.1f} MiB, peak (VmHWM) "
              f"{kib(peak['VmHWM']) / 1024:.1f} MiB")
        print(f"`corvane list --json` ({len(list_ms)} calls, process start included): median "
              f"{statistics.median(list_ms):.0f} ms, p90 {list_ms[int(len(list_ms) * 0.9)]:.0f} ms, "
              f"max {list_ms[-1]:.0f} ms")
    finally:
        run("stop")
        try:
            service.wait(timeout=60)
        except subprocess.TimeoutExpired:
            service.kill()
        nginx.send_signal(signal.SIGTERM)
        nginx.wait()
        if os.environ.get("KEEP"): print(root)
        else: shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
