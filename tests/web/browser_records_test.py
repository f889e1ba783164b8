#!/usr/bin/python3
"""A real browser against `vanto serve` over a store the simulator filled (`vanto demo`), on SQLite
and on PostgreSQL: swipes filter and page; a name edited in People appears in the report.

Usage: browser_records_test.py PATH-TO-VANTO. PostgreSQL runs when VANTO_TEST_PG_URL names a
server (scripts/pg-cluster.sh). Exits 77 (skipped) when Selenium, the Chromium driver or the
server is missing, except under CI=true, where that is a failure."""
import os
import subprocess
import sys
import tempfile
import uuid

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_smoke_test as smoke  # noqa: E402  (skips or fails there when Selenium is missing)
from vanto_serve import start_serve, stop_serve  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as ready  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

PASSWORD = smoke.PASSWORD


def databases(folder):
    yield "sqlite", os.path.join(folder, "site.db")
    url = os.environ.get("VANTO_TEST_PG_URL")
    if not url:
        if os.environ.get("CI") == "true":
            sys.exit("browser records test: VANTO_TEST_PG_URL is not set (scripts/pg-cluster.sh starts a server)")
        print("browser records test: PostgreSQL skipped (VANTO_TEST_PG_URL is not set)", file=sys.stderr)
        return
    name = "vanto_browser_" + uuid.uuid4().hex[:12]
    subprocess.run(["psql", url, "-q", "-c", f"CREATE DATABASE {name}"], check=True, capture_output=True, timeout=60)
    try:
        base, _, query = url.partition("?")
        yield "postgresql", base.rsplit("/", 1)[0] + "/" + name + ("?" + query if query else "")
    finally:
        subprocess.run(["psql", url, "-q", "-c", f"DROP DATABASE IF EXISTS {name} WITH (FORCE)"], capture_output=True,
                       timeout=60)


def rows(driver):
    return [tuple(td.text for td in tr.find_elements(By.TAG_NAME, "td"))
            for tr in driver.find_elements(By.CSS_SELECTOR, "#swipes tr.swipe")]


def check(vanto, db, folder, engine):
    smoke.run(vanto, ["demo", "--db", db])
    smoke.run(vanto, ["user", "add", "hana", "--role", "hr", "--db", db], PASSWORD + "\n")
    server, url = start_serve(vanto, ["--db", db])
    driver = None
    try:
        driver = smoke.browser(os.path.join(folder, "profile-" + engine))
        wait = WebDriverWait(driver, 30)
        smoke.sign_in(driver, wait, url, "hana", "/swipes")
        wait.until(ready.presence_of_element_located((By.ID, "swipe-filters")))

        # Swipes: the first page is full; filtering by the first row's person and port keeps only
        # those; walking the pages by "Next page" shows each swipe once, in time order.
        first = rows(driver)
        assert len(first) == 50, (engine, len(first))
        person, port = first[0][3], first[0][1]
        driver.find_element(By.ID, "person").send_keys(person)
        driver.find_element(By.ID, "port").send_keys(port)
        driver.find_element(By.ID, "show").click()
        wait.until(ready.url_contains("person=" + person))
        seen = []
        for _ in range(100):
            page = rows(driver)
            assert page and all(r[3] == person and r[1] == port for r in page), (engine, page[:3])
            seen += page
            nexts = driver.find_elements(By.ID, "next-page")
            if not nexts:
                break
            nexts[0].click()
            wait.until(ready.staleness_of(nexts[0]))
        # Every swipe `vanto swipes` lists for the same filter, once (two swipes of one second look
        # alike on the page, so the lists are compared whole), in time order.
        listed = smoke.run(vanto, ["swipes", "--person", person, "--port", port, "--csv", "--db", db])
        want = sorted(tuple(line.split(",")[:4]) for line in listed.splitlines()[1:])
        got = sorted((r[0], r[1], r[2], r[3]) for r in seen)
        assert got == want, (engine, len(got), len(want))
        assert [r[0] for r in seen] == sorted(r[0] for r in seen), (engine, "not in time order")
        month = seen[0][0][:7]

        # People: the person's page edits the name; the report of that month shows it.
        new_name = "Renamed <i>" + engine + "</i>"
        driver.get(f"{url}/people/person?number={person}&month={month}")
        wait.until(ready.presence_of_element_located((By.ID, "edit-person")))
        assert driver.find_elements(By.CSS_SELECTOR, "#calendar td.present"), (engine, "no day present")
        field = driver.find_element(By.ID, "person-name")
        field.clear()
        field.send_keys(new_name)
        driver.find_element(By.ID, "save-person").click()
        wait.until(ready.url_contains("saved=1"))
        driver.get(f"{url}/report?month={month}")
        wait.until(ready.presence_of_element_located((By.ID, "report-people")))
        shown = driver.find_element(By.CSS_SELECTOR, f"tr.report-person[data-person='{person}'] td.name").text
        assert shown == new_name, (engine, shown)
        # The same numbers as `vanto report`.
        days = driver.find_element(By.CSS_SELECTOR, f"tr.report-person[data-person='{person}'] td.days").text
        cli = smoke.run(vanto, ["report", "--month", month, "--csv", "--db", db])
        cli_days = sum(1 for line in cli.splitlines()[1:] if line.split(",")[0] == person)
        assert int(days) == cli_days, (engine, days, cli_days)

        # People: "Add a person" stores a new number and opens its page.
        driver.get(url + "/people")
        wait.until(ready.presence_of_element_located((By.ID, "add-person")))
        driver.find_element(By.ID, "add-number").send_keys("98765")
        driver.find_element(By.ID, "add-name").send_keys("Added " + engine)
        driver.find_element(By.ID, "add-person-button").click()
        wait.until(ready.url_contains("saved=1"))
        assert driver.find_element(By.ID, "person-name").get_attribute("value") == "Added " + engine, engine
    finally:
        if driver:
            driver.quit()
        code = stop_serve(server)
    if code != 0:
        sys.exit(f"vanto serve ended with {code}")


def main():
    vanto = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="vanto-browser-records-") as folder:
        for engine, db in databases(folder):
            check(vanto, db, folder, engine)
            print(f"browser records test passed on {engine}")


if __name__ == "__main__":
    main()
