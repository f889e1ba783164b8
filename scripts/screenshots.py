#!/usr/bin/python3
"""Signs in to a running console with headless Chromium and photographs its pages.

    screenshots.py URL USER OUT_FOLDER < password

The password comes on standard input (never on the command line). Each page is saved as
OUT_FOLDER/<language>-<name>.png at a fixed width, as tall as the page (at most 1,000 pixels).
"""
import os
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ready
from selenium.webdriver.support.ui import WebDriverWait

# (file name, path, an element the page shows when it is ready)
PAGES = {
    "en": [
        ("dashboard", "/dashboard", "runs"),
        ("review", "/review?from=2026-11-02&to=2026-11-06", "review-days"),
        ("attendance-person", "/attendance/person?person=101&month=2026-11", "calendar"),
        ("swipes", "/swipes?from=2026-11-03&to=2026-11-03&person=101", "swipes"),
        ("person", "/people/person?number=101&month=2026-11", "calendar"),
        ("report", "/report?month=2026-11", "report-people"),
        ("enrolments", "/enrolments", "enrolments"),
    ],
    "zh-CN": [
        ("dashboard", "/dashboard", "runs"),
        ("review", "/review?from=2026-11-02&to=2026-11-06", "review-days"),
        ("attendance-person", "/attendance/person?person=101&month=2026-11", "calendar"),
        ("report", "/report?month=2026-11", "report-people"),
    ],
}


def photograph(url, user, password, out, language, profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--hide-scrollbars", "--window-size=1100,800", f"--lang={language}", f"--user-data-dir={profile}"):
        options.add_argument(arg)
    options.add_experimental_option("prefs", {"intl.accept_languages": language})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        wait = WebDriverWait(driver, 30)
        driver.get(url + "/login")
        wait.until(ready.presence_of_element_located((By.ID, "sign-in")))
        driver.find_element(By.ID, "name").send_keys(user)
        driver.find_element(By.ID, "password").send_keys(password)
        driver.find_element(By.ID, "sign-in").click()
        wait.until(ready.presence_of_element_located((By.ID, "user-name")))
        for name, path, shown in PAGES[language]:
            driver.set_window_size(1100, 800)
            driver.get(url + path)
            wait.until(ready.presence_of_element_located((By.ID, shown)))
            height = driver.execute_script("return document.documentElement.scrollHeight")
            driver.set_window_size(1100, max(400, min(height + 20, 1000)))
            file = os.path.join(out, f"{language}-{name}.png")
            driver.save_screenshot(file)
            print(file)
    finally:
        driver.quit()


def main():
    url, user, out = sys.argv[1:4]
    password = sys.stdin.readline().rstrip("\n")
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vanto-shots-") as profiles:
        for language in PAGES:
            photograph(url, user, password, out, language, os.path.join(profiles, language))


if __name__ == "__main__":
    main()
