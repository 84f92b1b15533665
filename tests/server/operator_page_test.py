#!/usr/bin/python3
"""The operator's page in a real browser, and its store under a hard kill.

  operator_page_test.py page SERVER SOURCE_DIR WORK_DIR SCREENSHOT_DIR NPM_CACHE
      headless Chromium through Selenium. A first-time operator's round on a
      phone (390 x 844) and on a desktop (1280 x 800): a notice to one board
      only, the 8:18 local delayed by 7 minutes while a refresh comes between
      typing and tapping, a train cancelled and the cancellation undone, each
      checked on the boards' documents and previews; no sideways scrolling,
      touch targets of 44 px, and axe-core (from npm, pinned) finding nothing
      on the login page and the page at both sizes. Then: a wrong password
      refused, a script in a notice shown as text, a form without its CSRF
      token refused, a board that stops polling marked red, a notice a
      one-row board cannot show said so on its card, "New" starting afresh,
      the melody only on a second tap, failed logins slowed. Screenshots of
      both sizes go to SCREENSHOT_DIR.
  operator_page_test.py kill SERVER SOURCE_DIR WORK_DIR
      changes posted through the JSON API while the server is killed with
      SIGKILL; every acknowledged change is there after a restart.
"""
import json
import os
import shutil
import signal
import tarfile
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

TOKEN = "test-token-0123456789abcdef0123456789"
PASSWORD = "correct horse battery"
SILENT_SECONDS = 3
AXE_PACKAGE = "axe-core"
AXE_VERSION = "4.10.2"
SIZES = ((390, 844), (1280, 800))


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def write_feed(source, target):
    """The test feed with two 8:18 trains to the same place, a local and a
    rapid, each with its type and train number: the page must tell them
    apart."""
    shutil.copytree(source + "/tests/server/feed", target)
    with open(target + "/routes.txt", "a", encoding="utf-8") as routes:
        routes.write("LOC,M,普通,南海岸線,2,0072BC,\nRAP,M,快速,南海岸線,2,E60012,\n")
    with open(target + "/translations.txt", "a", encoding="utf-8") as translations:
        translations.write("routes,route_short_name,en,Local,LOC,\nroutes,route_short_name,en,Rapid,RAP,\n")
    with open(target + "/trips.txt", encoding="utf-8") as trips:
        lines = trips.read().splitlines()
    lines = [lines[0] + ",trip_short_name"] + [line + "," for line in lines[1:]]
    lines += ["LOC,WD,L818,港南,0,818M", "RAP,WD,X818,港南,0,1818K"]
    with open(target + "/trips.txt", "w", encoding="utf-8") as trips:
        trips.write("\n".join(lines) + "\n")
    with open(target + "/stop_times.txt", "a", encoding="utf-8") as times:
        times.write("L818,08:12:00,08:12:00,YAM-1,1\nL818,08:18:00,08:18:00,KAW-1,2\nL818,08:28:00,08:28:00,MIN-1,3\n"
                    "X818,08:14:00,08:14:00,YAM-1,1\nX818,08:18:00,08:18:00,KAW-1,2\nX818,08:25:00,08:25:00,MIN-1,3\n")


def station(server, source, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work + "/sounds")
    write_feed(source, work + "/feed")
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
rows = 5
melody = "dep.mp3"
[[board]]
number = 2
name = "新型 1番線"
style = "new-style"
stop_id = "KAW-1"
[[board]]
number = 3
name = "1行 1番線"
stop_id = "KAW-1"
rows = 1
""")
    subprocess.run([server, "import", work + "/feed", "--config", work + "/station.toml"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([server, "user", "add", "ekimu", "--config", work + "/station.toml"],
                   input=PASSWORD + "\n", text=True, check=True, stderr=subprocess.DEVNULL)


def axe_source(cache):
    """axe-core's browser script, from npm by name and pinned version on the
    first run, then from the build tree."""
    target = os.path.join(cache, "%s-%s" % (AXE_PACKAGE, AXE_VERSION))
    script = os.path.join(target, "package", "axe.min.js")
    if not os.path.exists(script):
        os.makedirs(target, exist_ok=True)
        try:
            result = subprocess.run(["npm", "pack", "%s@%s" % (AXE_PACKAGE, AXE_VERSION), "--pack-destination", target],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        except FileNotFoundError:
            fail("npm is not installed; this test fetches %s@%s with npm" % (AXE_PACKAGE, AXE_VERSION))
        tarball = os.path.join(target, "%s-%s.tgz" % (AXE_PACKAGE, AXE_VERSION))
        if result.returncode != 0 or not os.path.exists(tarball):
            fail("npm could not fetch %s@%s:\n%s" % (AXE_PACKAGE, AXE_VERSION, result.stdout.decode(errors="replace")))
        with tarfile.open(tarball) as tar:
            tar.extractall(target, filter="data") if hasattr(tarfile, "data_filter") else tar.extractall(target)
    with open(script, encoding="utf-8") as f:
        return f.read()


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


def run_page(server, source, work, screenshots, cache):
    axe = axe_source(cache)
    station(server, source, work)
    process, port = start(server, work)
    try:
        check_page(process, port, work, screenshots, axe)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def departures(port, board=1):
    """Each trip's first departure in the list: the list runs on into the
    next service day, whose trains share the ids."""
    found = {}
    for departure in json.loads(http(port, f"/api/v1/boards/{board}/departures")[1])["departures"]:
        found.setdefault(departure["trip_id"], departure)
    return found


def documents(port):
    """Every board's document through the JSON API, which is not a board asking."""
    return {b["number"]: b for b in json.loads(http(port, "/api/v1/boards")[1])["boards"]}


def reset(port):
    """Ends every notice and clears every train change, between two rounds."""
    for notice in json.loads(http(port, "/api/v1/notices")[1])["notices"]:
        http(port, f"/api/v1/notices/{notice['id']}/end", {})
    for departure in departures(port).values():
        if departure["cancelled"] or departure["delay_minutes"]:
            http(port, "/api/v1/trains/clear", {"board": 1, "trip_id": departure["trip_id"],
                                                "service_date": departure["service_date"]})


# What a thumb can hit: every control shown is at least 44 px each way
# (a box or a radio button counts by its label), and nothing is wider than
# the screen.
LAYOUT = """
const small = [];
for (const node of document.querySelectorAll('button, input:not([type=hidden]), select, nav a, summary, label.choice')) {
  const box = node.getBoundingClientRect();
  if (box.width === 0 || node.type === 'checkbox' || node.type === 'radio') continue;
  if (box.height < 43.5 || box.width < 43.5) small.push(node.outerHTML.slice(0, 90) + ' ' + Math.round(box.width) + 'x' + Math.round(box.height));
}
return {small: small, wide: document.documentElement.scrollWidth - window.innerWidth};
"""

AXE_RUN = """
const done = arguments[arguments.length - 1];
axe.run(document, {resultTypes: ['violations']}).then(
  (r) => done(r.violations.map((v) => v.id + ' (' + v.impact + ', ' + v.nodes.length + ' elements, e.g. ' + v.nodes[0].target.join(' ') + ')')),
  (e) => done(['axe-core failed: ' + e]));
"""


def check_page(process, port, work, screenshots, axe):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait

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
                 "--disable-dev-shm-usage", "--window-size=1280,800", "--user-data-dir=" + work + "/chromium"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    browser.set_script_timeout(120)
    waiter = WebDriverWait(browser, 20)

    class wait:  # noqa: N801 - reads like WebDriverWait
        @staticmethod
        def until(condition, what="the page"):
            try:
                return waiter.until(condition)
            except Exception:
                messages = browser.find_elements(By.ID, "message") or browser.find_elements(By.ID, "login-error")
                fail("timed out waiting for %s; the page says: %s" % (
                    what, messages[0].get_attribute("textContent") if messages else "(nothing)"))

    def find(css, within=None):
        return (within or browser).find_element(By.CSS_SELECTOR, css)

    def tap(element):
        browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
        element.click()

    def message():
        return find("#message").get_attribute("textContent")

    def dots(board):
        return find(f"#board-{board} canvas").get_attribute("data-dots")

    def set_size(width, height):
        browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})

    def check_axe(where):
        browser.execute_script(axe)
        violations = browser.execute_async_script(AXE_RUN)
        check(not violations, where + ": axe-core found " + "; ".join(violations))

    def train_row(time_text, kind):
        for row in browser.find_elements(By.CSS_SELECTOR, "#departures > li"):
            text = find(".train-summary", row).text
            if text.startswith(time_text) and kind in text:
                return row
        fail("no %s %s train in the list" % (time_text, kind))

    page = f"http://127.0.0.1:{port}/"

    def first_time_round(width, height, notice_board, other_board):
        where = f" at {width}x{height}"
        browser.get_log("browser")  # what came before this round
        set_size(width, height)
        browser.get(page)
        wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#departures > li") and dots(1) and dots(2),
                   "the boards and trains" + where)
        layout = browser.execute_script(LAYOUT)
        check(layout["wide"] <= 0, "the page scrolls sideways by %d px%s" % (layout["wide"], where))
        check(not layout["small"], "controls smaller than 44 px%s: %s" % (where, "; ".join(layout["small"][:5])))
        check_axe("the operator's page" + where)

        # A notice to one board only: ticking the board chooses "only the
        # boards ticked", and "all boards" no longer holds.
        tap(find("nav a[href='#notices-section']"))
        before = {n: dots(n) for n in (1, 2)}
        tap(find(f"#notice-boards input[value='{notice_board}']"))
        check(find("input[name=target][value=chosen]").is_selected() and
              not find("input[name=target][value=all]").is_selected(), "ticking a board left all boards chosen" + where)
        text = "エレベーター点検中 %d" % width
        find("#notice-jp").send_keys(text)
        find("#notice-en").send_keys("Lift out of service")
        tap(find("#notice-submit"))
        wait.until(lambda b: f"Notice posted to board {notice_board}" in message(), "the notice's result" + where)
        notices = json.loads(http(port, "/api/v1/notices")[1])["notices"]
        check([n["boards"] for n in notices if n["text_jp"] == text] == [[notice_board]],
              "the notice is not for board %d alone%s: %r" % (notice_board, where, notices))
        shown = documents(port)
        check(text in shown[notice_board]["document"], "the notice is not on board %d%s" % (notice_board, where))
        check(text not in shown[other_board]["document"], "the notice reached board %d too%s" % (other_board, where))
        wait.until(lambda b: dots(notice_board) != before[notice_board], "board %d's preview" % notice_board + where)
        check(find("#notices .notice-meta").text.endswith("常時 / always"), "a notice without times is not 'always'")
        history = json.loads(http(port, "/api/v1/history")[1])["history"]
        check(any(line["what"] == "お知らせを掲示「%s」（%d番、常時） / Notice posted: \"Lift out of service\" (board %d, "
                  "always)" % (text, notice_board, notice_board) for line in history),
              "the notice's history line in staff's words%s: %r" % (where, history[:3]))

        # The 8:18 local, not the 8:18 rapid, 7 minutes late; a refresh of
        # the list comes between typing and tapping.
        tap(find("nav a[href='#trains-section']"))
        Select(find("#train-board")).select_by_value("1")
        local, rapid = train_row("8:18", "普通 Local"), train_row("8:18", "快速 Rapid")
        check("818M" in local.text and "1818K" in rapid.text, "the 8:18 trains show no train numbers")
        tap(find(".train-summary", local))
        minutes = find("input[name=minutes]", local)
        wait.until(lambda b: minutes.is_displayed(), "the local's actions" + where)
        check(not find("button[value=clear]", local).is_displayed(), "Clear is offered for a train on time")
        minutes.clear()
        minutes.send_keys("7")
        rounds = int(browser.find_element(By.TAG_NAME, "body").get_attribute("data-departure-rounds") or 0)
        wait.until(lambda b: int(b.find_element(By.TAG_NAME, "body").get_attribute("data-departure-rounds") or 0) > rounds,
                   "a refresh of the trains" + where)
        check(minutes.get_attribute("value") == "7", "the refresh changed the minutes being typed" + where)
        check(browser.switch_to.active_element == minutes, "the refresh moved the focus" + where)
        before = dots(1)
        tap(find("button[value=delay]", local))
        wait.until(lambda b: "8:18 普通 港南行き（818M） 約7分遅れ" in message(), "the delay's result" + where)
        check("8:18 Local to Konan (818M), 7 min late" in message(), "the delay's result in English: " + message())
        undo = find("#undo")
        box = browser.execute_script("const r = arguments[0].getBoundingClientRect(); return [r.top, r.bottom, innerHeight];", undo)
        check(undo.is_displayed() and box[0] > box[2] / 2 and box[1] <= box[2],
              "the result's Undo is not at the bottom of the screen%s: %r" % (where, box))
        trains = departures(port)
        check(trains["L818"]["delay_minutes"] == 7 and trains["X818"]["delay_minutes"] == 0,
              "the wrong 8:18 train was delayed" + where)
        check(any("8:18" in line and "約7分遅れ" in line for line in documents(port)[1]["document"].splitlines()),
              "the delay is not on board 1" + where)
        wait.until(lambda b: dots(1) != before, "board 1's preview after the delay" + where)
        wait.until(lambda b: "約7分遅れ" in find(".state", local).text and find("button[value=clear]", local).is_displayed(),
                   "the local's state" + where)
        wait.until(lambda b: "8:18 普通 港南行き（818M） 約7分遅れ" in find("#history").text, "the delay in the history" + where)

        # The 7:40 rapid cancelled, then the cancellation undone.
        rapid = train_row("7:40", "快")
        tap(find(".train-summary", rapid))
        before = dots(1)
        tap(find("button[value=cancel]", rapid))
        wait.until(lambda b: "7:40 快 港南" in message() and "行き 運休 / 7:40 快 to" in message(),
                   "the cancellation's result" + where)
        check("運休です" in documents(port)[1]["document"] and departures(port)["X1"]["cancelled"],
              "the cancellation is not on board 1" + where)
        wait.until(lambda b: dots(1) != before, "board 1's preview after the cancellation" + where)
        tap(find("#undo"))
        wait.until(lambda b: "元に戻しました / Undone: 7:40 快 港南" in message() and "行き 定刻" in message(),
                   "the undo's result" + where)
        check("運休です" not in documents(port)[1]["document"] and not departures(port)["X1"]["cancelled"],
              "the undone cancellation is still on board 1" + where)
        wait.until(lambda b: dots(1) == before, "board 1's preview back as before the cancellation" + where)

        # One run of the trip run every 30 minutes, its other runs untouched.
        run = train_row("10:35", "港南")
        tap(find(".train-summary", run))
        tap(find("button[value=cancel]", run))
        wait.until(lambda b: message().startswith("10:35 ") and "運休" in message(), "the run's cancellation" + where)
        runs = [d for d in json.loads(http(port, "/api/v1/boards/1/departures")[1])["departures"] if d["trip_id"] == "F1"]
        check([d["cancelled"] for d in runs[:3]] == [False, True, False],
              "cancelling the 10:35 run changed its other runs%s: %r" % (where, runs[:3]))
        tap(find("#undo"))
        wait.until(lambda b: "元に戻しました / Undone: 10:35 " in message(), "the run's undo" + where)

        # No script error, refused policy or failed request in the whole round.
        errors = [entry["message"] for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
        check(not errors, "the browser reported errors%s: %s" % (where, "; ".join(errors[:5])))
        tap(find("nav a[href='#trains-section']"))
        time.sleep(0.5)
        browser.save_screenshot(os.path.join(screenshots, "operator-page-%dx%d-trains.png" % (width, height)))
        browser.execute_script("window.scrollTo(0, 0)")
        time.sleep(0.5)
        browser.save_screenshot(os.path.join(screenshots, "operator-page-%dx%d.png" % (width, height)))

    try:
        os.makedirs(screenshots, exist_ok=True)
        for width, height in SIZES:
            set_size(width, height)
            browser.get(page)
            wait.until(lambda b: b.find_elements(By.ID, "login-form"), "the login page")
            check_axe(f"the login page at {width}x{height}")

        def log_in(password):
            find("#login-name").clear()
            find("#login-name").send_keys("ekimu")
            find("#login-password").clear()
            find("#login-password").send_keys(password)
            find("#login-submit").click()

        log_in("wrong password")
        wait.until(lambda b: b.find_element(By.ID, "login-error").text != "", "the login's refusal")
        check("wrong name or password" in find("#login-error").text, "wrong password not refused")
        check(http(port, "/api/v1/boards", token=None)[0] == 401, "the API answers without a login")
        log_in(PASSWORD)
        wait.until(lambda b: b.find_elements(By.ID, "board-2"), "the page after the login")
        cookie = browser.get_cookie("velmorant_session")
        check(cookie is not None and cookie["httpOnly"] and cookie.get("sameSite") == "Strict",
              "the session cookie is not HttpOnly and SameSite=Strict: %r" % cookie)

        # The narrowest phone still in use: no sideways scrolling, no small targets.
        set_size(320, 640)
        browser.get(page)
        wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#departures > li"), "the page at 320 px")
        layout = browser.execute_script(LAYOUT)
        check(layout["wide"] <= 0 and not layout["small"], "the page at 320 px: %r" % layout)

        first_time_round(390, 844, 1, 2)
        reset(port)
        first_time_round(1280, 800, 2, 1)

        # A notice the one-row board cannot show: the result and its card say so.
        tap(find("#notice-boards input[value='3']"))
        find("#notice-jp").send_keys("足元にご注意ください")
        tap(find("#notice-submit"))
        wait.until(lambda b: "board 3 cannot show it" in message(), "the one-row board's refusal")
        wait.until(lambda b: "one-row board" in find("#board-3 .unshown").text, "the reason on board 3's card")

        # "New" after "Edit" starts afresh: no id, no text, all boards.
        tap(find("#notices .notice-row button"))
        check(find("#notice-jp").get_attribute("value") != "", "Edit did not fill the form")
        tap(find("#notice-new"))
        check(find("input[name=id]").get_attribute("value") == "" and find("#notice-jp").get_attribute("value") == "" and
              find("input[name=target][value=all]").is_selected() and
              not browser.find_elements(By.CSS_SELECTOR, "#notice-boards input:checked") and
              browser.switch_to.active_element == find("#notice-jp"), "New did not start a new notice")

        # A notice with a script in its text, shown as text.
        hostile = "<script>window.injected=1</script><img src=x onerror=\"window.injected=2\">"
        find("#notice-jp").send_keys("強風のため徐行運転中" + hostile)
        find("#notice-en").send_keys("Slow running: strong wind")
        tap(find("#notice-submit"))
        wait.until(lambda b: "Notice posted to all boards" in message(), "the hostile notice's result")
        wait.until(lambda b: any(e.text == "強風のため徐行運転中" + hostile
                                 for e in b.find_elements(By.CSS_SELECTOR, "#notices .notice-text")), "the notice as text")
        check(browser.execute_script("return window.injected === undefined"), "a script in a notice ran")
        check("強風のため徐行運転中" in board_document(port, 1), "the notice is not in board 1's document")

        # A form sent without its CSRF token is refused and changes nothing.
        count = len(json.loads(http(port, "/api/v1/notices")[1])["notices"])
        browser.execute_script("document.querySelector('#notice-form input[name=csrf]').remove()")
        find("#notice-jp").send_keys("CSRFなし")
        tap(find("#notice-submit"))
        wait.until(lambda b: "CSRF" in message(), "the CSRF refusal")
        check(len(json.loads(http(port, "/api/v1/notices")[1])["notices"]) == count,
              "a notice without the CSRF token was stored")

        # By keyboard alone: Enter opens a train's actions, Tab reaches its
        # minutes, and the focus shows.
        summary = find(".train-summary", train_row("7:20", "南"))
        browser.execute_script("arguments[0].scrollIntoView({block: 'center'}); arguments[0].focus()", summary)
        ActionChains(browser).send_keys(Keys.ENTER).send_keys(Keys.TAB).perform()
        focused = browser.switch_to.active_element
        check(focused.get_attribute("name") == "minutes" and focused.is_displayed(), "Enter and Tab do not reach a train's minutes")
        check(browser.execute_script("return getComputedStyle(document.activeElement).outlineStyle") != "none",
              "the focus is not shown")

        # The melody plays only on a second tap.
        melody = find("#board-1 .melody button")
        tap(melody)
        check("Tap again" in melody.text, "the melody button did not ask for a second tap")
        history = json.loads(http(port, "/api/v1/history")[1])["history"]
        check(not any("melody" in line["what"] for line in history), "the melody played on one tap")
        tap(melody)
        wait.until(lambda b: "melody played on board 1" in message(), "the melody's result")

        # Board 2 asks once, shows as heard, then goes red at the top.
        board_document(port, 2)
        wait.until(lambda b: "silent" not in find("#board-2").get_attribute("class"), "board 2 heard")
        wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, ".silent-alert[data-board='2']"), "board 2's alert")
        check("silent" in find("#board-2").get_attribute("class"), "board 2 is not red")
        check("silent" not in find("#board-1").get_attribute("class"), "board 1 is red")
        check(not browser.find_elements(By.CSS_SELECTOR, ".silent-alert[data-board='1']"), "board 1 alerted")
        check("not heard: board 2" in find("#fleet").text, "the header does not name the silent board")
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
    print("operator page: all checks passed; screenshots in " + screenshots)


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
        check(any(line["what"] == "dropped 1 delays or cancellations of service days before 2026-12-06"
                  for line in history), "the old delay was not dropped")
    finally:
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=20)
    print("operator store: %d acknowledged changes all kept after SIGKILL" % (len(acknowledged) + 1))


if __name__ == "__main__":
    if len(sys.argv) >= 7 and sys.argv[1] == "page":
        run_page(*sys.argv[2:7])
    elif len(sys.argv) >= 5 and sys.argv[1] == "kill":
        run_kill(*sys.argv[2:5])
    else:
        print(__doc__)
        sys.exit(2)
