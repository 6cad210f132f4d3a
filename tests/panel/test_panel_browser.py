"""korval panel in a real browser: headless Chromium, driven through the DevTools protocol.

Starts `korval panel --sim 0x8140` (16 analog inputs, 2 analog outputs, ports and counters), opens the
address it prints and checks, on the page as a person sees it: the board is listed; the plot receives
columns and its latest values match a constant put on one channel, and a fast square wave keeps both its
levels in the plot's columns, and a trigger keeps a sine's phase still; a value in volts reaches an analog output; a switch on the page changes the
simulated board's output latch, and an input level set on the board lights the page's lamps; requests
without the token, from another origin or naming another host, and values out of range, are refused and
change nothing. Saves a screenshot of the page (KORVAL_PANEL_SCREENSHOT, default build/panel.png).

    KORVAL_TOOL=build/korval python3 -m pytest -q tests/panel
"""
import http.client
import json
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
import base64

import pytest
import websocket

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.environ.get("KORVAL_TOOL", os.path.join(ROOT, "build", "korval"))
SCREENSHOT = os.environ.get("KORVAL_PANEL_SCREENSHOT", os.path.join(ROOT, "build", "panel.png"))
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def wait_for(condition, what, timeout=10.0):
    """Polls `condition` until it gives a true value, at most `timeout` seconds."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


def read_line(stream, pattern, timeout=15.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if not select.select([stream], [], [], max(0.0, end - time.monotonic()))[0]:
            break  # nothing more within the time: a panel that hangs before listening fails here
        line = stream.readline()
        if not line:
            break
        match = re.search(pattern, line)
        if match:
            return match
    raise AssertionError(f"the panel printed no line matching {pattern!r}")


class Panel:
    def __init__(self):
        self.process = subprocess.Popen([TOOL, "panel", "--sim", "0x8140"], stdout=subprocess.PIPE, text=True)
        try:
            match = read_line(self.process.stdout, r"(http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+))")
        except BaseException:
            self.process.kill()
            self.process.wait()
            raise
        self.url, self.port, self.token = match.group(1), int(match.group(2)), match.group(3)

    def request(self, method, path, body=None, token=True, headers=None):
        """(status, parsed JSON or text) of one request; `token` False leaves it out, a string replaces it."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        sent = {"Content-Type": "application/json"}
        if token:
            sent["X-Korval-Token"] = self.token if token is True else token
        sent.update(headers or {})
        skip_host = "Host" in sent
        connection.putrequest(method, path, skip_host=skip_host)
        data = json.dumps(body).encode() if body is not None else b""
        for name, value in sent.items():
            connection.putheader(name, value)
        connection.putheader("Content-Length", str(len(data)))
        connection.endheaders(data)
        response = connection.getresponse()
        text = response.read().decode()
        connection.close()
        try:
            return response.status, json.loads(text)
        except ValueError:
            return response.status, text

    def sim_ports(self):
        status, state = self.request("POST", "/api/sim/state", {"slot": 0})
        assert status == 200 and state["ok"], state
        return state

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("the panel did not end within 10 s of SIGTERM")


class Browser:
    """Headless Chromium with one page, driven over its DevTools WebSocket."""

    def __init__(self, url):
        self.profile = tempfile.mkdtemp(prefix="korval-panel-chromium-")
        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={self.profile}", "--remote-debugging-port=0", "--window-size=1280,1080",
             "--hide-scrollbars", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self._attach(url)
        except BaseException:
            self.process.kill()
            self.process.wait()
            shutil.rmtree(self.profile, ignore_errors=True)
            raise

    def _attach(self, url):
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        wait_for(lambda: os.path.exists(port_file) and open(port_file).read().count("\n") >= 1,
                 "Chromium's DevTools port", timeout=20)
        port = int(open(port_file).read().split("\n")[0])

        def page_target():
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            connection.request("GET", "/json/list")
            targets = json.loads(connection.getresponse().read())
            connection.close()
            return next((t for t in targets if t["type"] == "page" and t["url"].startswith(url[:20])), None)

        target = wait_for(page_target, "the panel's page in Chromium")
        self.ws = websocket.create_connection(target["webSocketDebuggerUrl"], timeout=15, suppress_origin=True)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == self.next_id:
                assert "error" not in message, message
                return message["result"]

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        assert "exceptionDetails" not in result, result
        return result["result"].get("value")

    def close(self):
        try:
            self.ws.close()
        finally:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            shutil.rmtree(self.profile, ignore_errors=True)


@pytest.fixture(scope="module")
def panel():
    if not os.path.exists(TOOL):
        pytest.fail(f"{TOOL} is missing: build the korval tool first")
    p = Panel()
    yield p
    if p.process.poll() is None:
        p.stop()


@pytest.fixture(scope="module")
def page(panel):
    if CHROMIUM is None:
        pytest.fail("chromium is missing: scripts/setup.sh --browser installs it")
    b = Browser(panel.url)
    wait_for(lambda: b.js("document.readyState === 'complete' && !!document.getElementById('board-0')"),
             "the page and its list of boards")
    yield b
    b.close()


def test_the_board_is_listed_with_its_capabilities(page):
    row = page.js("document.getElementById('board-0').innerText")
    assert "0x8140" in row
    assert "16 analog inputs" in row and "2 analog outputs" in row and "digital ports" in row and "counters" in row


def test_the_plot_follows_a_constant_on_one_channel(panel, page):
    status, answer = panel.request("POST", "/api/sim/signal", {"slot": 0, "channel": 2, "volts": 2.5})
    assert status == 200 and answer["ok"], answer
    page.js("""document.getElementById('adc-first').value = 0; document.getElementById('adc-last').value = 15;
               document.getElementById('adc-rate').value = 2000; document.getElementById('adc-window').value = 2;
               document.getElementById('adc-start').click(); true""")
    wait_for(lambda: page.js("typeof trace !== 'undefined' && trace !== null && trace.xs.length > 100"),
             "columns on the plot")

    def latest():
        cell = page.js("(() => { const c = document.getElementById('latest-2'); "
                       "return c && c.dataset.low !== undefined ? [+c.dataset.low, +c.dataset.high] : null; })()")
        return cell if cell and abs(cell[0] - 2.5) < 0.002 and abs(cell[1] - 2.5) < 0.002 else None
    wait_for(latest, "channel 2's latest column at 2.5 V")
    assert "obtained" in page.js("document.getElementById('adc-status').textContent")
    assert page.js("document.getElementById('adc-error').textContent") == ""


def test_columns_keep_the_lowest_and_highest_sample(panel, page):
    # A 333 Hz square of ±5 V sampled at 2000 scans/s changes level every three scans, as often as a
    # column spans: a column that keeps one sample in several would show one level, min/max shows both.
    status, answer = panel.request("POST", "/api/sim/signal",
                                   {"slot": 0, "channel": 5, "kind": "square", "volts": 0, "amplitude": 5, "hz": 333})
    assert status == 200 and answer["ok"], answer
    both = ("(() => { const lo = trace.low[5].slice(-300), hi = trace.high[5].slice(-300);"
            " return lo.filter((v, i) => v < -4.9 && hi[i] > 4.9).length / lo.length; })()")
    wait_for(lambda: page.js(both) > 0.3, "columns spanning both levels of the square wave")
    status, answer = panel.request("POST", "/api/sim/signal",  # back to the sine it had
                                   {"slot": 0, "channel": 5, "kind": "sine", "volts": 0, "amplitude": 5.75, "hz": 1.75})
    assert status == 200 and answer["ok"], answer


def test_a_value_in_volts_reaches_the_analog_output(panel, page):
    page.js("""(() => { const row = document.getElementById('dac-channels').children[1];
               row.querySelector('select').value = 'V (0-10 V)';
               const input = row.querySelector('input'); input.value = '2.5';
               input.dispatchEvent(new Event('change')); })(); true""")
    wait_for(lambda: panel.sim_ports()["dac"][1] == 16384, "output 1 at 16384 counts (2.5 V of 0-10 V)")
    wait_for(lambda: "16384 counts" in page.js("document.getElementById('dac-channels').innerText"),
             "the page showing the counts sent")


@pytest.mark.parametrize("body", [
    {"slot": 0, "channel": 1, "count": 70000},   # would wrap to 4464
    {"slot": 0, "channel": 1, "count": -1},
    {"slot": 0, "channel": 1, "count": 1.5},
    {"slot": 0, "channel": 1},
    {"slot": 7, "channel": 1, "count": 5},       # no such board
])
def test_bad_values_are_refused_and_change_nothing(panel, page, body):
    before = panel.sim_ports()["dac"]
    status, answer = panel.request("POST", "/api/dac", body)
    assert status in (400, 404) and answer["ok"] is False and answer["error"]["code"] in (87, 1413), answer
    assert panel.sim_ports()["dac"] == before


def test_a_switch_on_the_page_sets_the_board_output(panel, page):
    page.js("document.getElementById('dir-0-0').click(); true")
    wait_for(lambda: page.js("document.getElementById('dio-0-3').dataset.dir === 'out'"), "port 0 as outputs")
    wait_for(lambda: panel.sim_ports()["direction"][0] & 1, "the board's port 0 set to output")
    page.js("document.getElementById('dio-0-3').click(); true")
    wait_for(lambda: panel.sim_ports()["outputs"][0] == 0x08, "line 3 on at the board")
    wait_for(lambda: page.js("document.getElementById('dio-0-3').dataset.level === '1'"), "line 3 read back on")


def test_an_input_level_on_the_board_lights_the_lamps(panel, page):
    status, answer = panel.request("POST", "/api/sim/inputs", {"slot": 0, "levels": [0, 0x5A]})
    assert status == 200 and answer["ok"], answer
    wait_for(lambda: page.js("document.getElementById('hex-0-1').textContent") == "0x5A", "port 1 reading 0x5A")
    lamps = page.js("[...Array(8).keys()].map(b => document.getElementById('dio-0-' + (8 + b)).dataset.level)")
    assert lamps == [str((0x5A >> b) & 1) for b in range(8)]
    assert page.js("document.getElementById('dio-0-9').dataset.dir") == "in"


@pytest.mark.parametrize("case, token, headers, expected", [
    ("no token", False, {}, 403),
    ("a wrong token", "0" * 64, {}, 403),
    ("another origin", True, {"Origin": "http://attacker.example"}, 403),
    ("another host name", True, {"Host": "attacker.example"}, 403),
    ("a form's content type", True, {"Content-Type": "text/plain"}, 415),
])
def test_refused_requests_change_nothing(panel, page, case, token, headers, expected):
    before = panel.sim_ports()["outputs"]
    status, _ = panel.request("POST", "/api/dio/write", {"slot": 0, "bit": 0, "level": True}, token=token,
                              headers=headers)
    assert status == expected, case
    status, _ = panel.request("POST", "/api/dio/configure", {"slot": 0, "outputs": [False, False]}, token=token,
                              headers=headers)
    assert status == expected, case
    assert panel.sim_ports()["outputs"] == before, case
    assert panel.sim_ports()["direction"][0] & 1, case
    if expected == 403:  # nothing is served to such a request, not even the page
        for path in ("/", "/api/boards", "/api/events", "/assets/panel.js"):
            status, _ = panel.request("GET", path, token=token, headers=headers)
            assert status == 403, (case, path)


def test_a_trigger_keeps_a_sine_still(panel, page):
    # A 7 Hz sine of 4 V on channel 3, triggered rising through 1 V: every sweep of the 0.5 s window
    # starts at the same phase, so the volts at a given time after the trigger are those of earlier sweeps.
    status, answer = panel.request("POST", "/api/sim/signal",
                                   {"slot": 0, "channel": 3, "kind": "sine", "volts": 0, "amplitude": 4, "hz": 7})
    assert status == 200 and answer["ok"], answer
    page.js("""$('adc-rate').value = 2000; $('adc-window').value = '0.5'; $('adc-trigger').value = '1';
               $('adc-trigger-channel').value = 3; $('adc-trigger-level').value = 1; $('adc-start').click(); true""")
    at = ("(() => { if (!trace || !trace.trigger || trace.xs.length < 2 || trace.xs[trace.xs.length - 1] < 0.3)"
          " return null; const v = (t) => { let i = 0; while (2 * i + 2 < trace.xs.length && trace.xs[2 * i + 2] <= t) i++;"
          " return (trace.low[3][i] + trace.high[3][i]) / 2; }; return [trace.sweep, v(0), v(0.05), v(0.2)]; })()")
    first = wait_for(lambda: (lambda r: r if r and r[0] >= 2 else None)(page.js(at)), "a second triggered sweep")
    later = wait_for(lambda: (lambda r: r if r and r[0] >= first[0] + 2 else None)(page.js(at)), "two sweeps more")
    # The trigger's time is where the sine rises through the level. The simulated signal wobbles by a few
    # scans between sweeps (0.1 V a scan here); an untriggered sweep would be anywhere within ±4 V.
    assert abs(first[1] - 1) < 0.4 and abs(later[1] - 1) < 0.4, (first, later)
    assert all(abs(a - b) < 0.4 for a, b in zip(first[1:], later[1:])), (first, later)
    page.js("""$('adc-window').value = '2'; $('adc-trigger').value = '0'; $('adc-start').click(); true""")
    wait_for(lambda: page.js("!!trace && !trace.trigger && trace.xs.length > 100"), "a free-running plot again")


def test_screenshot_and_clean_stop(panel, page):
    # A whole window of the test signals, then the page as a person sees it.
    latest = "trace.xs[trace.xs.length - 1]"
    start = page.js(latest)
    wait_for(lambda: page.js(latest) > start + 2.1, "a whole window of new columns")
    shot = page.call("Page.captureScreenshot", format="png", captureBeyondViewport=False)
    os.makedirs(os.path.dirname(os.path.abspath(SCREENSHOT)), exist_ok=True)
    with open(SCREENSHOT, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    page.js("document.getElementById('adc-stop').click(); true")
    wait_for(lambda: page.js("document.getElementById('adc-status').textContent.startsWith('stopped')"),
             "the acquisition stopped")
    assert panel.stop() == 0
