#!/usr/bin/python3
"""The real Prometheus server scrapes `vanto serve`'s /metrics: the simulator's site is synced, a
token with the scope metrics:read is made and handed to Prometheus as a private credentials file
(never on a command line), Prometheus runs on a free loopback port with a throw-away configuration
and storage, and the test polls its HTTP API (bounded) until a query answers: each terminal's age of
its last complete sync is there and plausible, and the swipes stored add up to what `vanto swipes`
lists. Prometheus and the other processes are ended on every way out, also when this test is
killed (they get SIGKILL when it dies).

Usage: prometheus_scrape_test.py PATH-TO-VANTO. Exits 77 (skipped) without the prometheus program,
except under CI=true, where that is a failure."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

from vanto_serve import die_with_parent, read_line, start_serve

BOUND = 120  # seconds any one wait may take
SKIP = 77


def missing(what):
    if os.environ.get("CI") == "true":
        sys.exit(f"prometheus test: {what} is missing (scripts/setup.sh installs it)")
    print(f"prometheus test skipped: {what} is missing", file=sys.stderr)
    sys.exit(SKIP)


CHILDREN = []


def start(args, **kwargs):
    process = subprocess.Popen(args, preexec_fn=die_with_parent, **kwargs)
    CHILDREN.append(process)
    return process


def stop_all():
    for process in reversed(CHILDREN):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def run(vanto, args, env, stdin=""):
    done = subprocess.run([vanto, *args], input=stdin, capture_output=True, text=True, timeout=BOUND, env=env)
    if done.returncode != 0:
        sys.exit(f"vanto {' '.join(args)} failed ({done.returncode}): {done.stderr}")
    return done.stdout


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def query(base, expression):
    """The samples of an instant query, or None while Prometheus does not answer yet."""
    url = base + "/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            body = json.load(answer)
    except (OSError, ValueError):
        return None
    if body.get("status") != "success":
        return None
    return body["data"]["result"]


def main():
    vanto = sys.argv[1]
    prometheus = shutil.which("prometheus") or ("/usr/bin/prometheus" if os.access("/usr/bin/prometheus", os.X_OK) else None)
    if not prometheus:
        missing("the prometheus program (Debian package prometheus)")
    with tempfile.TemporaryDirectory(prefix="vanto-prometheus-") as folder:
        env = dict(os.environ, VANTO_REGISTRY=os.path.join(folder, "registry"), HOME=folder)
        for name in list(env):
            if name.startswith("VANTO_FK_") or name in ("VANTO_DB", "VANTO_SITE"):
                del env[name]
        os.makedirs(os.path.join(folder, "ports"))
        sim = start([vanto, "sim", "--link-dir", os.path.join(folder, "ports")], stdout=subprocess.PIPE,
                    stderr=subprocess.DEVNULL, text=True, env=env)
        ports = {}
        while True:
            line = read_line(sim, "vanto sim").strip()
            if line == "ready":
                break
            match = re.fullmatch(r"port (\d+): (\S+)", line)
            if not match:
                sys.exit(f"vanto sim: unexpected line {line!r}")
            ports[int(match.group(1))] = match.group(2)

        site = os.path.join(folder, "site.toml")
        with open(site, "w") as f:
            f.write(f"database = {json.dumps(os.path.join(folder, 'site.db'))}\n"
                    f"[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\nlock_timeout_ms = {BOUND * 1000}\n"
                    f"[[port]]\nnumber = 1\ndevice = {json.dumps(ports[1])}\nterminals = [1, 2]\n"
                    f"[[port]]\nnumber = 2\ndevice = {json.dumps(ports[2])}\nterminals = [3]\n")
        on_site = ["--site", site]
        run(vanto, ["sync", *on_site], env)
        synced = time.time()
        stored = sum(1 for line in run(vanto, ["swipes", "--json", *on_site], env).splitlines() if line.strip())
        token = run(vanto, ["token", "add", "scraper", "--scope", "metrics:read", *on_site], env).strip().split()[-1]

        server, url = start_serve(vanto, on_site, env, open(os.path.join(folder, "serve.log"), "w"))
        CHILDREN.append(server)
        console = urllib.parse.urlsplit(url).netloc

        # The token in a file only its owner reads; the configuration names the file.
        token_file = os.path.join(folder, "scrape.token")
        with open(os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
            f.write(token)
        config = os.path.join(folder, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: vanto\n    metrics_path: /metrics\n"
                    f"    authorization:\n      type: Bearer\n      credentials_file: {json.dumps(token_file)}\n"
                    f"    static_configs:\n      - targets: [{json.dumps(console)}]\n")
        # A free loopback port, taken again should another program bind it between our look and
        # Prometheus's bind.
        for attempt in range(3):
            web = f"127.0.0.1:{free_port()}"
            log_path = os.path.join(folder, f"prometheus-{attempt}.log")
            prom = start([prometheus, f"--config.file={config}",
                          f"--storage.tsdb.path={os.path.join(folder, f'tsdb-{attempt}')}",
                          f"--web.listen-address={web}", "--log.level=warn"],
                         stdout=open(log_path, "w"), stderr=subprocess.STDOUT, cwd=folder)
            assert token not in " ".join(prom.args), "the token is on Prometheus's command line"
            base = f"http://{web}"
            deadline = time.monotonic() + BOUND
            ages = None
            while time.monotonic() < deadline and prom.poll() is None:
                ages = query(base, "vanto_terminal_last_sync_age_seconds")
                if ages:
                    break
                time.sleep(0.2)  # the poll's interval: the bound is the deadline above
            if prom.poll() is None or "address already in use" not in open(log_path).read():
                break
        if prom.poll() is not None:
            sys.exit("prometheus ended: " + open(log_path).read())
        if not ages:
            sys.exit(f"no sample of vanto_terminal_last_sync_age_seconds within {BOUND} s (up: {query(base, 'up')}); "
                     + open(log_path).read())
        places = {(s["metric"]["port"], s["metric"]["terminal"]): float(s["value"][1]) for s in ages}
        assert set(places) == {("1", "1"), ("1", "2"), ("2", "3")}, places
        elapsed = time.time() - synced
        for place, age in places.items():
            assert 0 <= age <= elapsed + 5, (place, age, elapsed)
        assert all(s["metric"].get("job") == "vanto" and s["metric"].get("identity") for s in ages), ages
        total = query(base, "sum(vanto_terminal_stored_swipes)")
        assert total and int(float(total[0]["value"][1])) == stored, (total, stored)
        up = query(base, 'up{job="vanto"}')
        assert up and up[0]["value"][1] == "1", up
        print(f"prometheus scraped {len(places)} terminals, {stored} swipes")


if __name__ == "__main__":
    try:
        main()
    finally:
        stop_all()
