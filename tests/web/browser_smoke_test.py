#!/usr/bin/python3
"""A real browser against `vanto serve`: an admin added with `vanto user add` signs in, sees the
dashboard with the admin's navigation, switches the pages to Chinese and signs out.

Usage: browser_smoke_test.py PATH-TO-VANTO. Exits 77 (skipped) when Selenium or the Chromium
driver is missing, except under CI=true, where that is a failure."""
import os
import pwd
import shutil
import subprocess
import sys
import tempfile

from vanto_serve import start_serve, stop_serve

SKIP = 77
PASSWORD = "correct horse battery"


def missing(what):
    if os.environ.get("CI") == "true":
        sys.exit(f"browser test: {what} is missing (scripts/test.sh installs it)")
    print(f"browser test skipped: {what} is missing", file=sys.stderr)
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ready
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    missing("python3-selenium")
DRIVER = "/usr/bin/chromedriver"
if not os.access(DRIVER, os.X_OK):
    missing("chromium-driver")


def run(vanto, args, stdin=""):
    done = subprocess.run([vanto, *args], input=stdin, capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        sys.exit(f"vanto {' '.join(args)} failed ({done.returncode}): {done.stderr}")
    return done.stdout


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--disable-background-networking", "--no-first-run", "--disable-component-update",
                "--disable-sync", "--lang=en-US", f"--user-data-dir={profile}"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(DRIVER), options=options)


def sign_in(driver, wait, url, name, page="/login"):
    """Signs `name` in afresh: opens `page` (a page that asks for a session shows the login form),
    gives the name and PASSWORD, and waits until the header names the user."""
    driver.delete_all_cookies()
    driver.get(url + page)
    wait.until(ready.presence_of_element_located((By.ID, "sign-in")))
    driver.find_element(By.ID, "name").send_keys(name)
    driver.find_element(By.ID, "password").send_keys(PASSWORD)
    driver.find_element(By.ID, "sign-in").click()
    wait.until(ready.text_to_be_present_in_element((By.ID, "user-name"), name))


def main():
    vanto = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="vanto-browser-") as folder:
        db = os.path.join(folder, "site.db")
        env_free = ["--db", db]
        # A refused password is a usage error and leaves no database behind.
        short = subprocess.run([vanto, "user", "add", "root", "--role", "admin", *env_free], input="short\n",
                               capture_output=True, text=True, timeout=60)
        assert short.returncode == 2 and not os.path.exists(db), short
        run(vanto, ["user", "add", "root", "--role", "admin", *env_free], PASSWORD + "\n")
        listed = run(vanto, ["user", "list", *env_free])
        assert "root" in listed and "admin" in listed, listed
        # One mode for every database file: the owner and the service's group, never others.
        assert (os.stat(db).st_mode & 0o777) == 0o660, oct(os.stat(db).st_mode)
        # The only admin cannot be disabled; a refused command is a usage error and changes nothing.
        refused = subprocess.run([vanto, "user", "disable", "root", *env_free], capture_output=True, text=True,
                                 timeout=60)
        assert refused.returncode == 2 and "root" in refused.stderr, refused
        assert "enabled" in run(vanto, ["user", "list", *env_free])
        server, url = start_serve(vanto, ["--db", db])
        driver = None
        try:
            driver = browser(os.path.join(folder, "profile"))
            wait = WebDriverWait(driver, 30)
            sign_in(driver, wait, url, "root", "/dashboard")  # no session: to the login page
            assert driver.find_element(By.TAG_NAME, "h1").text == "Dashboard", driver.page_source
            links = [a.get_attribute("href").replace(url, "") for a in driver.find_elements(By.CSS_SELECTOR, "nav a")]
            assert links == ["/dashboard", "/review", "/swipes", "/people", "/report", "/attendance/setup",
                             "/enrolments", "/terminals", "/users", "/audit", "/sites"], links
            # The pages in Chinese, by the user's own setting.
            driver.find_element(By.CSS_SELECTOR, "select[name=language] option[value=zh_CN]").click()
            driver.find_element(By.CSS_SELECTOR, "form[action='/language'] button").click()
            wait.until(ready.text_to_be_present_in_element((By.TAG_NAME, "h1"), "概览"))
            # The audit trail shows the command line's addition and this login.
            driver.get(url + "/audit")
            wait.until(ready.presence_of_element_located((By.ID, "audit")))
            trail = driver.find_element(By.ID, "audit").text
            assert "user.add" in trail and "login" in trail, trail
            assert pwd.getpwuid(os.geteuid()).pw_name in trail, trail  # the command line's user
            driver.find_element(By.ID, "sign-out").click()
            wait.until(ready.presence_of_element_located((By.ID, "sign-in")))
            driver.get(url + "/users")
            wait.until(ready.presence_of_element_located((By.ID, "sign-in")))
        finally:
            if driver:
                driver.quit()
            code = stop_serve(server)
        if code != 0:
            sys.exit(f"vanto serve ended with {code}")
    print("browser smoke test passed")


if __name__ == "__main__":
    main()
