#!/usr/bin/python3
"""A real browser on the dashboard and the Terminals page of `vanto serve` over the simulator and a
store of the test's own (SQLite, or a fresh database on the test's PostgreSQL server): the
dashboard lists the simulator's terminals and a broken port; an admin's "Sync now" shows each
port's progress, then the run (the console user's), the new records and the broken port's cause;
the audit trail has the sync's intent and outcome; `vanto sync --history` lists the run; an admin
copies a person's fingerprint from terminal 1 to terminal 3 on the Enrolments page and sees each
terminal's result and the enrolment list; a viewer gets no "Sync now" and no Terminals page.

Usage: browser_dashboard_test.py PATH-TO-VANTO sqlite|postgresql. Exits 77 (skipped) when
Selenium, the Chromium driver or (for postgresql) the test server is missing, except under
CI=true, where that is a failure."""
import fcntl
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
from urllib.parse import urlsplit, urlunsplit

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_smoke_test import PASSWORD, browser, missing, sign_in  # noqa: E402  (skips or fails there without Selenium)
from vanto_serve import read_line, start_serve, stop_serve  # noqa: E402
from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as ready  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

BOUND = 120  # seconds any one wait may take


def run(vanto, args, env, stdin=""):
    done = subprocess.run([vanto, *args], input=stdin, capture_output=True, text=True, timeout=BOUND, env=env)
    if done.returncode != 0:
        sys.exit(f"vanto {' '.join(args)} failed ({done.returncode}): {done.stderr}")
    return done.stdout


def start_simulator(vanto, folder, env):
    sim = subprocess.Popen([vanto, "sim", "--link-dir", os.path.join(folder, "ports")], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True, env=env)
    ports = {}
    while True:
        line = read_line(sim, "vanto sim").strip()
        if line == "ready":
            return sim, ports
        match = re.fullmatch(r"port (\d+): (\S+)", line)
        if not match:
            sim.kill()
            sys.exit(f"vanto sim: unexpected line {line!r}")
        ports[int(match.group(1))] = match.group(2)


def fresh_database(engine, folder):
    if engine == "sqlite":
        return os.path.join(folder, "site.db"), None
    url = os.environ.get("VANTO_TEST_PG_URL")
    if not url:
        missing("the PostgreSQL test server (VANTO_TEST_PG_URL)")
    name = f"vanto_dash_{os.getpid()}"
    subprocess.run(["psql", url, "-v", "ON_ERROR_STOP=1", "-q", "-c", f"CREATE DATABASE {name}"], check=True,
                   capture_output=True, timeout=BOUND)
    parts = urlsplit(url)
    return urlunsplit((parts.scheme, parts.netloc, "/" + name, parts.query, parts.fragment)), (url, name)


def drop_database(admin):
    if admin:
        url, name = admin
        subprocess.run(["psql", url, "-q", "-c", f"DROP DATABASE IF EXISTS {name} WITH (FORCE)"], capture_output=True,
                       timeout=BOUND)


def terminal_rows(driver):
    """(port, terminal) -> the row's cells by class, as the dashboard shows them."""
    rows = {}
    for row in driver.find_elements(By.CSS_SELECTOR, "tr.terminal"):
        key = (int(row.get_attribute("data-port")), int(row.get_attribute("data-terminal")))
        cause = row.find_element(By.CSS_SELECTOR, "td.cause")
        rows[key] = {"text": row.text, "code": cause.get_attribute("data-code"), "cause": cause.text,
                     "new": row.find_element(By.CSS_SELECTOR, "td.new").text}
    return rows


def main():
    vanto, engine = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="vanto-dashboard-") as folder:
        env = dict(os.environ, VANTO_REGISTRY=os.path.join(folder, "registry"), HOME=folder)
        for name in list(env):
            if name.startswith("VANTO_FK_") or name in ("VANTO_DB", "VANTO_SITE"):
                del env[name]
        os.makedirs(os.path.join(folder, "ports"))
        sim, ports = start_simulator(vanto, folder, env)
        db, admin_db = fresh_database(engine, folder)
        server = driver = None
        try:
            broken = os.path.join(folder, "no-such-device")
            site = os.path.join(folder, "site.toml")
            with open(site, "w") as f:
                f.write(f"database = {json.dumps(db)}\n[line]\nprobe_timeout_ms = 200\nanswer_timeout_ms = 2000\n"
                        f"lock_timeout_ms = {BOUND * 1000}\n"
                        f"[[port]]\nnumber = 1\ndevice = {json.dumps(ports[1])}\nterminals = [1, 2]\n"
                        f"[[port]]\nnumber = 2\ndevice = {json.dumps(ports[2])}\nterminals = [3]\n"
                        f"[[port]]\nnumber = 3\ndevice = {json.dumps(broken)}\nterminals = [1]\n")
            on_site = ["--site", site]
            run(vanto, ["user", "add", "root", "--role", "admin", *on_site], env, PASSWORD + "\n")
            run(vanto, ["user", "add", "vic", "--role", "viewer", *on_site], env, PASSWORD + "\n")
            server_log = open(os.path.join(folder, "serve.log"), "w")
            server, url = start_serve(vanto, on_site, env, server_log)

            driver = browser(os.path.join(folder, "profile"))
            # The dashboard reloads itself when a sync ends: an element found a moment before may
            # be gone when it is read, which only means "look again".
            wait = WebDriverWait(driver, BOUND, ignored_exceptions=[StaleElementReferenceException])
            sign_in(driver, wait, url, "root")
            driver.get(url + "/dashboard")
            wait.until(ready.presence_of_element_located((By.ID, "sync-site-button")))
            before = terminal_rows(driver)
            assert set(before) == {(1, 1), (1, 2), (2, 3), (3, 1)}, before
            assert all("never synced" in r["text"] for r in before.values()), before

            # Sync now, with port 2's line held by "another program": the sync waits for it, so
            # it is surely running while the page shows each port's progress, port 1 reaching
            # "done" while port 2 waits.
            held = os.open(ports[2], os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            try:
                driver.find_element(By.ID, "sync-site-button").click()
                wait.until(ready.visibility_of_element_located((By.ID, "progress")))
                wait.until(ready.text_to_be_present_in_element((By.ID, "progress-1"), "done"))
                assert driver.find_element(By.ID, "progress-2").text != "done"
                # The run is recorded from its start (before its ports are reached): shown unfinished.
                driver.get(url + "/dashboard")
                wait.until(ready.presence_of_element_located((By.CSS_SELECTOR, "tr.run")))
                assert "unfinished" in driver.find_element(By.CSS_SELECTOR, "tr.run").text
                assert driver.find_element(By.ID, "progress").is_displayed()
            finally:
                os.close(held)
            # Without a reload by hand, the page follows the end of the run: the run is the
            # console user's, the simulator's terminals synced with new records, and the broken
            # port shows its cause.
            wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "tr.run")
                       and "unfinished" not in d.find_element(By.CSS_SELECTOR, "tr.run").text
                       and not d.find_element(By.ID, "progress").is_displayed())
            assert "console (root)" in driver.find_element(By.CSS_SELECTOR, "tr.run td.by").text
            after = terminal_rows(driver)
            for key in ((1, 1), (1, 2), (2, 3)):
                assert "synced" in after[key]["text"] and int(after[key]["new"]) > 0, (key, after[key])
            assert after[(3, 1)]["code"] == "missing", after[(3, 1)]
            # The cause once: its own text names the port, the device and what failed.
            assert "the device does not exist" in after[(3, 1)]["cause"], after[(3, 1)]
            assert "the device is missing" not in after[(3, 1)]["cause"], after[(3, 1)]
            run_new = int(driver.find_element(By.CSS_SELECTOR, "tr.run td.new").text)
            assert run_new == sum(int(after[k]["new"]) for k in ((1, 1), (1, 2), (2, 3))), run_new

            # Port 1 alone: nothing new to read, and the run recorded for that port only.
            driver.find_element(By.CSS_SELECTOR, "form.sync-port button").click()
            wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "tr.run")) == 2
                       and "unfinished" not in d.find_element(By.CSS_SELECTOR, "tr.run").text)
            assert driver.find_element(By.CSS_SELECTOR, "tr.run td.new").text == "0"

            # The audit trail: the intent before each sync, the outcome after it.
            driver.get(url + "/audit")
            wait.until(ready.presence_of_element_located((By.ID, "audit")))
            wait.until(lambda d: d.find_element(By.ID, "audit").text.count("sync.done") == 2)
            trail = driver.find_element(By.ID, "audit").text
            assert trail.count("sync.start") == 2 and "port 1" in trail, trail

            # The Terminals page: the check names the broken port; the records kept apart.
            driver.get(url + "/terminals")
            wait.until(ready.presence_of_element_located((By.ID, "check")))
            check = driver.find_element(By.ID, "check").text
            assert "Port 3 (" + broken + "): the device is missing" in check, check
            driver.find_element(By.ID, "rejected-link").click()
            wait.until(ready.presence_of_element_located((By.ID, "conflicts")))

            # Enrolments: an admin copies person 101's fingerprint from terminal 1 to terminal 3
            # (which holds nobody), one result per terminal; the host's table lists the backup.
            driver.get(url + "/enrolments")
            wait.until(ready.presence_of_element_located((By.ID, "copy-form")))
            assert driver.find_elements(By.ID, "no-enrolments")
            driver.find_element(By.ID, "copy-person").send_keys("101")
            Select(driver.find_element(By.ID, "copy-from")).select_by_value("1.1")
            driver.find_element(By.ID, "copy-to-2-3").click()
            driver.find_element(By.ID, "copy-button").click()
            wait.until(ready.presence_of_element_located((By.ID, "enrolment-results")))
            results = [(r.get_attribute("data-port"), r.get_attribute("data-terminal"), r.get_attribute("class"),
                        r.find_element(By.CSS_SELECTOR, "td.words").text)
                       for r in driver.find_elements(By.CSS_SELECTOR, "tr.enrolment-result")]
            assert results == [("1", "1", "enrolment-result done", "fingerprint"),
                               ("2", "3", "enrolment-result done", "fingerprint")], results
            listed = driver.find_element(By.CSS_SELECTOR, "tr.enrolment[data-person='101']").text
            assert "fingerprint" in listed and listed.endswith(" 1"), listed
            # Terminal 3 holds it now: a backup from there succeeds, and the table says so.
            Select(driver.find_element(By.ID, "backup-terminal")).select_by_value("2.3")
            driver.find_element(By.ID, "backup-person").send_keys("101")
            driver.find_element(By.ID, "backup-button").click()
            wait.until(ready.presence_of_element_located((By.CSS_SELECTOR, "tr.enrolment-result[data-terminal='3']")))
            assert driver.find_element(By.CSS_SELECTOR, "tr.enrolment-result").get_attribute("class") == \
                "enrolment-result done", driver.find_element(By.ID, "enrolment-results").text
            listed = driver.find_element(By.CSS_SELECTOR, "tr.enrolment[data-person='101']").text
            assert listed.endswith(" 3"), listed
            driver.get(url + "/audit")
            wait.until(ready.presence_of_element_located((By.ID, "audit")))
            trail = driver.find_element(By.ID, "audit").text
            assert "enrolment.write.done" in trail and trail.count("enrolment.backup.done") == 2, trail

            # Terminal 3's records are all stored (the site's sync): an admin clears it, confirmed.
            driver.get(url + "/terminals")
            wait.until(ready.presence_of_element_located((By.ID, "clear-2-3")))
            driver.find_element(By.CSS_SELECTOR, "#clear-2-3 input[name='understood']").click()
            driver.find_element(By.CSS_SELECTOR, "#clear-2-3 button").click()
            wait.until(ready.presence_of_element_located((By.CSS_SELECTOR, "tr.clear-result[data-terminal='3']")))
            row = driver.find_element(By.CSS_SELECTOR, "tr.clear-result")
            assert row.get_attribute("class") == "clear-result done", row.text
            driver.get(url + "/audit")
            wait.until(ready.presence_of_element_located((By.ID, "audit")))
            assert "terminal.clear.done" in driver.find_element(By.ID, "audit").text

            # A viewer reads the dashboard but gets no "Sync now" and no Terminals page.
            sign_in(driver, wait, url, "vic")
            driver.get(url + "/dashboard")
            wait.until(ready.presence_of_element_located((By.CSS_SELECTOR, "tr.run")))
            assert not driver.find_elements(By.ID, "sync-site-button")
            assert not driver.find_elements(By.CSS_SELECTOR, "nav a[href='/terminals']")
            driver.get(url + "/terminals")
            wait.until(ready.presence_of_element_located((By.ID, "message")))
            assert "may not" in driver.find_element(By.ID, "message").text

            # The command line lists the same runs, the console's first.
            history = json.loads(run(vanto, ["sync", "--history", "--json", *on_site], env))
            assert [r["started_by"] for r in history] == ["console", "console"], history
            assert history[0]["ports"] == "1" and history[1]["ports"] == "1,2,3", history
            assert history[1]["who"] == "root", history
            causes = {(t["port"], t["terminal"]): t.get("cause_code") for t in history[1]["terminals"]}
            assert causes[(3, 1)] == "missing" and causes[(1, 1)] is None, causes
        except BaseException:
            if driver:  # what the browser showed, for the failure's report
                print(f"the page at the failure ({driver.current_url}):\n{driver.find_element(By.TAG_NAME, 'body').text}",
                      file=sys.stderr)
            if server:
                with open(os.path.join(folder, "serve.log")) as log:
                    print("vanto serve's log:\n" + "".join(line for line in log if " 200 " not in line), file=sys.stderr)
            raise
        finally:
            if driver:
                driver.quit()
            code = None
            if server:
                code = stop_serve(server)
            sim.send_signal(signal.SIGTERM)
            try:
                sim.wait(timeout=BOUND)
            except subprocess.TimeoutExpired:
                sim.kill()
            drop_database(admin_db)
        if code != 0:
            sys.exit(f"vanto serve ended with {code}")
    print(f"browser dashboard test ({engine}) passed")


if __name__ == "__main__":
    main()
