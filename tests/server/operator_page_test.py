#!/usr/bin/python3
"""The operator's page in a real browser, and its store under a hard kill.

  operator_page_test.py page SERVER SOURCE_DIR WORK_DIR SCREENSHOT
      headless Chromium through Selenium: a wrong password refused, login,
      a notice posted through the form reaching the preview and the board's
      next document, a script in a notice shown as text, a form without its
      CSRF token refused, a board that stops polling marked red, failed
      logins slowed; a screenshot of the page.
  operator_page_test.py kill SERVER SOURCE_DIR WORK_DIR
      changes posted through the JSON API while the server is killed with
      SIGKILL; every acknowledged change is there after a restart.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

TOKEN = "test-token-0123456789abcdef0123456789"
PASSWORD = "correct horse battery"
SILENT_SECONDS = 3


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def station(server, source, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work + "/sounds")
    with open(work + "/sounds/dep.mp3", "wb") as melody:
        melody.write(b"ID3" + bytes(2000))
    with open(work + "/station.toml", "w", encoding="utf-8") as config:
        config.write(f"""[server]
port = 0
[operator]
silent_seconds = {SILENT_SECONDS}
[[operator.token]]
name = "test-system"
token = "{TOKEN}"
[[board]]
number = 1
name = "1番線"
station = "KAW"
platform_code = "1"
rows = 3
melody = "dep.mp3"
[[board]]
number = 2
name = "新型 1番線"
style = "new-style"
stop_id = "KAW-1"
""")
    subprocess.run([server, "import", source + "/tests/server/feed", "--config", work + "/station.toml"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([server, "user", "add", "ekimu", "--config", work + "/station.toml"],
                   input=PASSWORD + "\n", text=True, check=True, stderr=subprocess.DEVNULL)


def start(server, work):
    port_file = work + "/port"
    if os.path.exists(port_file):
        os.remove(port_file)
    log = open(work + "/server.log", "a")
    process = subprocess.Popen([server, "serve", "--config", work + "/station.toml", "--now", "2026-12-07T07:10",
                                "--frozen", "--port-file", port_file], stdout=log, stderr=log)
    for _ in range(200):
        if os.path.exists(port_file):
            with open(port_file) as f:
                return process, int(f.read())
        if process.poll() is not None:
            fail("the server ended: see " + work + "/server.log")
        time.sleep(0.05)
    fail("the server did not start")


def http(port, path, body=None, token=TOKEN):
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}",
                                     data=None if body is None else json.dumps(body).encode())
    if token:
        request.add_header("Authorization", "Bearer " + token)
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def board_document(port, number):
    status, text = http(port, f"/api/boards/{number}/display.txt", token=None)
    check(status == 200, f"board {number} answered {status}")
    return text


def run_page(server, source, work, screenshot):
    station(server, source, work)
    process, port = start(server, work)
    try:
        check_page(process, port, work, screenshot)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def check_page(process, port, work, screenshot):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    # Board 1 keeps polling; board 2 is asked for by hand below.
    polling = threading.Event()

    def poll():
        while not polling.is_set():
            board_document(port, 1)
            time.sleep(0.5)

    poller = threading.Thread(target=poll, daemon=True)
    poller.start()

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1400,1900", "--user-data-dir=" + work + "/chromium"):
        options.add_argument(flag)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    waiter = WebDriverWait(browser, 20)

    class wait:  # noqa: N801 - reads like WebDriverWait
        @staticmethod
        def until(condition):
            try:
                return waiter.until(condition)
            except Exception:
                messages = browser.find_elements(By.ID, "message") or browser.find_elements(By.ID, "login-error")
                fail("timed out; the page says: " + (messages[0].text if messages else "(nothing)"))
    try:
        page = f"http://127.0.0.1:{port}/"
        browser.get(page)

        def log_in(password):
            browser.find_element(By.ID, "login-name").clear()
            browser.find_element(By.ID, "login-name").send_keys("ekimu")
            browser.find_element(By.ID, "login-password").clear()
            browser.find_element(By.ID, "login-password").send_keys(password)
            browser.find_element(By.ID, "login-submit").click()

        log_in("wrong password")
        wait.until(lambda b: b.find_element(By.ID, "login-error").text != "")
        check("wrong name or password" in browser.find_element(By.ID, "login-error").text, "wrong password not refused")
        check(http(port, "/api/v1/boards", token=None)[0] == 401, "the API answers without a login")

        log_in(PASSWORD)
        wait.until(lambda b: b.find_elements(By.ID, "board-2"))
        # Board 2 asks once more, shows as polling, and then goes dark.
        board_document(port, 2)
        wait.until(lambda b: "silent" not in b.find_element(By.ID, "board-2").get_attribute("class"))
        cookie = browser.get_cookie("velmorant_session")
        check(cookie is not None and cookie["httpOnly"] and cookie.get("sameSite") == "Strict",
              "the session cookie is not HttpOnly and SameSite=Strict: %r" % cookie)

        # A notice through the form, with a script in its text.
        wait.until(lambda b: b.find_element(By.CSS_SELECTOR, "#board-1 canvas").get_attribute("data-dots"))
        dots_before = browser.find_element(By.CSS_SELECTOR, "#board-1 canvas").get_attribute("data-dots")
        hostile = "<script>window.injected=1</script><img src=x onerror=\"window.injected=2\">"
        browser.find_element(By.ID, "notice-jp").send_keys("強風のため徐行運転中" + hostile)
        browser.find_element(By.ID, "notice-en").send_keys("Slow running: strong wind")
        browser.find_element(By.ID, "notice-submit").click()
        wait.until(lambda b: "Notice posted" in b.find_element(By.ID, "message").text)
        wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#notices .notice-row"))
        shown = browser.find_element(By.CSS_SELECTOR, "#notices .notice-text").text
        check(shown == "強風のため徐行運転中" + hostile, "the notice is not shown as its own text: " + shown)
        check(browser.execute_script("return window.injected === undefined"), "a script in a notice ran")

        # In the board's next document, and in the preview.
        check("強風のため徐行運転中" in board_document(port, 1), "the notice is not in board 1's document")
        # Board 2's document through the JSON API, which is not a board asking.
        boards = json.loads(http(port, "/api/v1/boards")[1])["boards"]
        check("強風のため徐行運転中" in boards[1]["document"], "the notice is not in board 2's document")
        wait.until(lambda b: b.find_element(By.CSS_SELECTOR, "#board-1 canvas").get_attribute("data-dots") != dots_before)
        wait.until(lambda b: "強風のため徐行運転中" in b.find_element(By.CSS_SELECTOR, "#board-1 .document")
                   .get_attribute("textContent"))

        # A form sent without its CSRF token is refused and changes nothing.
        browser.execute_script("document.querySelector('#notice-form input[name=csrf]').remove()")
        browser.find_element(By.ID, "notice-jp").send_keys("CSRFなし")
        browser.find_element(By.ID, "notice-submit").click()
        wait.until(lambda b: "CSRF" in b.find_element(By.ID, "message").text)
        notices = json.loads(http(port, "/api/v1/notices")[1])["notices"]
        check(len(notices) == 1, "a notice without the CSRF token was stored")

        # The board that stopped asking turns red at the top; the other not.
        wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, ".silent-alert[data-board='2']"))
        check("silent" in browser.find_element(By.ID, "board-2").get_attribute("class"), "board 2 is not red")
        check("silent" not in browser.find_element(By.ID, "board-1").get_attribute("class"), "board 1 is red")
        check(not browser.find_elements(By.CSS_SELECTOR, ".silent-alert[data-board='1']"), "board 1 alerted")

        # A delay from the page, for the screenshot and the history.
        browser.find_element(By.CSS_SELECTOR, "#departures form.train button[value=delay]").click()
        wait.until(lambda b: "delay of 5 min" in b.find_element(By.ID, "message").text)
        check("約5分遅れ" in board_document(port, 1), "the delay is not in board 1's document")
        wait.until(lambda b: "delay of 5 min" in b.find_element(By.ID, "history").text)
        history = browser.find_element(By.ID, "history").text
        check("ekimu" in history and "new notice" in history, "the history does not name who made the notice")
        time.sleep(2.5)  # one more round of previews before the picture
        os.makedirs(os.path.dirname(os.path.abspath(screenshot)), exist_ok=True)
        browser.save_screenshot(screenshot)
    finally:
        browser.quit()
        polling.set()

    # Failed logins are slowed: after three, the next must wait.
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=10) as reply:
        cookie = reply.headers["Set-Cookie"].split(";")[0]
        form_token = cookie.split("=", 1)[1]
    statuses = []
    for _ in range(4):
        request = urllib.request.Request(f"http://127.0.0.1:{port}/login",
                                         data=json.dumps({"name": "ekimu", "password": "guess",
                                                          "csrf": form_token}).encode())
        request.add_header("Cookie", cookie)
        try:
            urllib.request.urlopen(request, timeout=10)
            statuses.append(200)
        except urllib.error.HTTPError as error:
            statuses.append(error.code)
    check(statuses == [401, 401, 401, 429], "failed logins are not slowed: %r" % statuses)
    process.send_signal(signal.SIGTERM)
    check(process.wait(timeout=20) == 0, "the server did not end cleanly")
    print("operator page: all checks passed; screenshot " + screenshot)


def run_kill(server, source, work):
    station(server, source, work)
    process, port = start(server, work)
    try:
        check_kill(server, work, process, port)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def check_kill(server, work, process, port):
    acknowledged = []
    stop = threading.Event()

    def post_notices():
        number = 0
        while not stop.is_set():
            number += 1
            try:
                status, reply = http(port, "/api/v1/notices", {"text_jp": "お知らせ %d" % number, "boards": [1]})
            except OSError:
                return
            if status == 201:
                acknowledged.append(json.loads(reply)["id"])

    # A delay of a day long gone, set without a board: the next train change
    # drops it, and the history says so.
    status, _ = http(port, "/api/v1/delays", {"trip_id": "L103", "service_date": 20261201, "minutes": 3})
    check(status == 200, "the old delay was not taken")
    writers = [threading.Thread(target=post_notices) for _ in range(3)]
    for writer in writers:
        writer.start()
    status, _ = http(port, "/api/v1/delays", {"board": 1, "trip_id": "L103", "service_date": 20261207, "minutes": 7})
    check(status == 200, "the delay was not taken")
    time.sleep(2)
    process.send_signal(signal.SIGKILL)
    process.wait()
    stop.set()
    for writer in writers:
        writer.join()
    check(len(acknowledged) > 5, "too few changes were acknowledged before the kill: %d" % len(acknowledged))

    process, port = start(server, work)
    try:
        stored = {notice["id"] for notice in json.loads(http(port, "/api/v1/notices")[1])["notices"]}
        lost = [i for i in acknowledged if i not in stored]
        check(not lost, "acknowledged notices lost after SIGKILL: %r" % lost[:10])
        check("約7分遅れ" in board_document(port, 1), "the delay was lost after SIGKILL")
        history = json.loads(http(port, "/api/v1/history?limit=10000")[1])["history"]
        check(len(history) >= len(acknowledged) + 1, "history lines lost after SIGKILL")
        check(any(line["what"] == "dropped 1 delays or cancellations of service days before 20261206"
                  for line in history), "the old delay was not dropped")
    finally:
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=20)
    print("operator store: %d acknowledged changes all kept after SIGKILL" % (len(acknowledged) + 1))


if __name__ == "__main__":
    if len(sys.argv) >= 6 and sys.argv[1] == "page":
        run_page(*sys.argv[2:6])
    elif len(sys.argv) >= 5 and sys.argv[1] == "kill":
        run_kill(*sys.argv[2:5])
    else:
        print(__doc__)
        sys.exit(2)
