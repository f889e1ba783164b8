#!/usr/bin/python3
"""A real browser on the To review page over the simulator's swipes (`vanto demo`), in English and
in Chinese: with a 07:00-19:00 shift the demo's first swipes (from 07:30) are late and a day with
an odd number of swipes misses one; an HR user sees both, adds the missed swipe with a reason and
sees the day's status change, as `vanto attendance` says too, on To review and on the person's
month, where the added swipe is marked as a correction.

Usage: browser_review_test.py PATH-TO-VANTO. Exits 77 (skipped) when Selenium, the Chromium
driver or the server is missing, except under CI=true, where that is a failure."""
import json
import os
import re
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_smoke_test as smoke  # noqa: E402  (skips or fails there when Selenium is missing)
from vanto_serve import start_serve, stop_serve  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as ready  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

PASSWORD = smoke.PASSWORD
FIRST, LAST = "2026-11-02", "2026-11-06"  # Monday to Friday of the demo's swipes
WORDS = {  # what each language says of the notice and of a correction
    "en": {"added": "The missed swipe was added.", "correction": "(correction)"},
    "zh_CN": {"added": "漏刷卡已补录。", "correction": "(更正)"},
}
STATUSES = {  # what each language says of the statuses the week can have
    "en": {"present": "present", "late": "late", "left-early": "left early", "absent": "absent",
           "missing-swipe": "missing swipe", "half-day": "half day"},
    "zh_CN": {"present": "出勤", "late": "迟到", "left-early": "早退", "absent": "缺勤", "missing-swipe": "缺卡",
              "half-day": "半天"},
}


def judged(vanto, db):
    """{(person, date): status} of the week, as the command line judges it."""
    days = {}
    for line in smoke.run(vanto, ["attendance", "--month", "2026-11", "--json", "--db", db]).splitlines():
        day = json.loads(line)
        if FIRST <= day["date"] <= LAST:
            days[(str(day["person"]), day["date"])] = day["status"]
    return days


def row(driver, person, date):
    found = driver.find_elements(By.CSS_SELECTOR, f"tr.review-day[data-person='{person}'][data-date='{date}']")
    return found[0] if found else None


def check(vanto, folder, language, person_offset):
    db = os.path.join(folder, language + ".db")
    smoke.run(vanto, ["demo", "--db", db])
    smoke.run(vanto, ["user", "add", "hana", "--role", "hr", "--db", db], PASSWORD + "\n")
    smoke.run(vanto, ["shift", "add", "long", "--start", "07:00", "--end", "19:00", "--full-day", "60", "--days", "mon-fri",
                      "--db", db])
    smoke.run(vanto, ["shift", "assign", "long", "--people", ",".join(str(p) for p in range(101, 113)),
                      "--from", "2026-11-01", "--db", db])
    before = judged(vanto, db)
    late = sorted(k for k, s in before.items() if s == "late")
    missing = sorted(k for k, s in before.items() if s == "missing-swipe")
    assert late and missing, (language, sorted(set(before.values())))
    person, date = missing[person_offset % len(missing)]
    server, url = start_serve(vanto, ["--db", db])
    driver = None
    try:
        driver = smoke.browser(os.path.join(folder, "profile-" + language))
        wait = WebDriverWait(driver, 30)
        view = f"{url}/review?from={FIRST}&to={LAST}"
        smoke.sign_in(driver, wait, url, "hana", view[len(url):])
        wait.until(ready.presence_of_element_located((By.ID, "review-view")))
        driver.get(view)  # signing in comes back to the page, not to its period
        wait.until(ready.presence_of_element_located((By.ID, "review-view")))
        if language != "en":
            driver.find_element(By.CSS_SELECTOR, f"select[name=language] option[value={language}]").click()
            button = driver.find_element(By.CSS_SELECTOR, "form[action='/language'] button")
            button.click()
            wait.until(ready.staleness_of(button))
            driver.get(view)
            wait.until(ready.text_to_be_present_in_element((By.TAG_NAME, "h1"), "待复核"))
        # Every late and missing day of the week is listed, and the count says how many rows.
        shown = {(tr.get_attribute("data-person"), tr.get_attribute("data-date")): tr.get_attribute("data-status")
                 for tr in driver.find_elements(By.CSS_SELECTOR, "tr.review-day")}
        for key in late + missing:
            assert shown.get(key) == before[key], (language, key, shown.get(key), before[key])
        assert driver.find_element(By.ID, "review-count").text == str(len(shown)), language
        said = STATUSES[language]
        for key in (late[0], missing[0]):  # the status in a clerk's words, each swipe by its time of day only
            assert row(driver, *key).find_element(By.CSS_SELECTOR, "td.status").text == said[before[key]], (language, key)
            for swipe in row(driver, *key).find_elements(By.CSS_SELECTOR, "td.swipes span.swipe"):
                assert re.fullmatch(r"\d\d:\d\d( \(\+1\))?", swipe.text), (language, key, swipe.text)
        # Adds the missed swipe at the shift's end, with a reason, without any script.
        tr = row(driver, person, date)
        tr.find_element(By.CSS_SELECTOR, "details.add-swipe summary").click()
        form = tr.find_element(By.CSS_SELECTOR, "form[action='/review/add-swipe']")
        # A time field's typing differs by locale: its value is set as a picker would set it.
        driver.execute_script("arguments[0].value = '18:59'", form.find_element(By.NAME, "time"))
        form.find_element(By.CSS_SELECTOR, "select[name=direction] option[value=out]").click()
        form.find_element(By.NAME, "reason").send_keys("forgot to swipe out")
        form.find_element(By.TAG_NAME, "button").click()
        wait.until(ready.url_contains("done=review_done_swipe"))
        notice = driver.page_source
        assert WORDS[language]["added"] in notice, language
        after = judged(vanto, db)
        assert after[(person, date)] != "missing-swipe", (language, after[(person, date)])
        now = row(driver, person, date)
        if now is not None:  # still to review (late): its new status
            assert now.get_attribute("data-status") == after[(person, date)], language
            assert "(" in now.find_element(By.CSS_SELECTOR, "td.swipes").text, language  # the added swipe marked
        # The person's month: the day judged anew as the command line judges it, the added swipe
        # shown as a correction.
        driver.get(f"{url}/attendance/person?person={person}&month=2026-11")
        cell = wait.until(ready.presence_of_element_located((By.CSS_SELECTOR, f"td.day[data-day='{date}']")))
        assert cell.get_attribute("data-status") == after[(person, date)], (language, cell.get_attribute("data-status"))
        assert cell.find_element(By.CSS_SELECTOR, "span.status").text == said[after[(person, date)]], language
        corrections = [c.text for c in cell.find_elements(By.CSS_SELECTOR, "div.swipes span.correction")]
        assert corrections == ["+18:59 " + WORDS[language]["correction"]], (language, corrections)
    finally:
        if driver:
            driver.quit()
        code = stop_serve(server)
    if code != 0:
        sys.exit(f"vanto serve ended with {code}")


def main():
    vanto = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="vanto-browser-review-") as folder:
        for offset, language in enumerate(("en", "zh_CN")):
            check(vanto, folder, language, offset)
            print(f"browser review test passed in {language}")


if __name__ == "__main__":
    main()
