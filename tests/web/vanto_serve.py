"""`vanto serve` for the Python tests (the browser checks and the Prometheus scrape): started on
a free loopback port, its address read from the line it prints, and stopped with SIGTERM; every
wait bounded. The server gets SIGKILL should the test process end first."""
import ctypes
import queue
import signal
import subprocess
import sys
import threading

BOUND = 120  # seconds any one wait may take
PR_SET_PDEATHSIG = 1


def die_with_parent():
    """Run in the child before it starts: it gets SIGKILL when the test process ends, however."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


_LINES = {}


def read_line(process, what, bound=BOUND):
    """The process's next line of standard output, waiting at most `bound` seconds."""
    if process.pid not in _LINES:
        lines = _LINES[process.pid] = queue.Queue()
        threading.Thread(target=lambda: [lines.put(line) for line in process.stdout], daemon=True).start()
    try:
        return _LINES[process.pid].get(timeout=bound)
    except queue.Empty:
        sys.exit(f"{what} said nothing within {bound} s")


def start_serve(vanto, args, env=None, log=subprocess.DEVNULL):
    """`vanto serve --listen 127.0.0.1:0 ARGS...`: (the process, the console's URL). Its standard
    error goes to `log` (a file opened for writing)."""
    server = subprocess.Popen([vanto, "serve", "--listen", "127.0.0.1:0", *args], stdout=subprocess.PIPE, stderr=log,
                              text=True, env=env, preexec_fn=die_with_parent)
    line = read_line(server, "vanto serve")
    if not line.startswith("listening on http://"):
        server.kill()
        server.wait(timeout=BOUND)
        sys.exit(f"vanto serve did not say where it listens: {line!r}")
    return server, line.split()[-1].strip()


def stop_serve(server):
    """Stops the server with SIGTERM: its exit status (the test fails when it does not stop)."""
    server.send_signal(signal.SIGTERM)
    try:
        return server.wait(timeout=BOUND)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait(timeout=BOUND)
        sys.exit(f"vanto serve did not stop on SIGTERM within {BOUND} s")
