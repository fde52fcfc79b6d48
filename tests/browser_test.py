#!/usr/bin/env python3
"""Opens line-sim's pages in headless Chromium, from disk, as a person would:
replay.html must show exactly the trace's steps, commands and camera frames,
draw the default controller's reading only for it (or when asked), fit a
small window, play and pause, and fetch nothing; index.html must link to the
replays. A real robot's replay (a hand-made run ROBOT_RUN_FOLDER writes) must
show its steps, commands, camera and timing, and no track. Screenshots of the
pages are left in FOLDER for people to look at.

Usage: browser_test.py LINE_SIM FOLDER EDGE_FOLLOWER ROBOT_RUN_FOLDER
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from PIL import Image
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

# Times [s] whose frames the simulated robot saves for the test, besides its snapshots.
FRAME_TIMES = [0.05, 7.77, 33.3, 71.0, 119.99]


def read_trace(path):
    """The trace's rows as Python floats: read from the shortest decimal form, exactly the doubles written."""
    lines = path.read_text().splitlines()
    names = lines[0].split(",")
    return [dict(zip(names, map(float, line.split(",")))) for line in lines[1:]]


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=1400,900"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class Page:
    """One page opened from disk, with what it logged and asked for."""

    def __init__(self, driver, path):
        self.driver = driver
        for log in ("browser", "performance"):
            driver.get_log(log)  # what came before, the browser's own start page included
        driver.get(path.resolve().as_uri())

    def wait_for(self, script):
        WebDriverWait(self.driver, 20).until(lambda d: d.execute_script(f"return {script}"))

    def run(self, script, *arguments):
        return self.driver.execute_script(script, *arguments)

    def check_quiet(self, name):
        """No console message above info, and nothing fetched but local files."""
        errors = [e for e in self.driver.get_log("browser") if e["level"] in ("SEVERE", "WARNING")]
        assert not errors, f"{name}: console: {errors}"
        requests = []
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            # The browser's own pages (its new-tab page loads as it starts) are not ours to judge.
            if message["method"] == "Network.requestWillBeSent" and \
                    not message["params"].get("documentURL", "").startswith("chrome:"):
                requests.append(message["params"]["request"]["url"])
        requests += self.run("return performance.getEntriesByType('resource').map(e => e.name)")
        remote = [url for url in requests if not url.startswith(("file:", "data:"))]
        assert not remote, f"{name}: asked the network for {remote}"
        return requests


def check_replay(driver, folder, screenshot):
    page = Page(driver, folder / "replay.html")
    page.wait_for("window.lineSimReplay !== undefined")
    ready_ms = int(page.run("return document.documentElement.dataset.readyMs"))
    trace = read_trace(folder / "trace.csv")
    hook = "window.lineSimReplay"
    assert page.run(f"return {hook}.duration") == trace[-1]["t"]

    # Each step exactly as the trace has it; a time between steps shows the one before.
    keys = ["t", "x", "y", "heading", "left", "right", "lateral_error", "left_command", "right_command"]
    for index in (0, 1, 2, 311, 1000, 2047, len(trace) // 2, len(trace) - 2, len(trace) - 1):
        row = trace[index]
        for t in (row["t"], row["t"] + 0.0159):
            state = page.run(f"{hook}.seek({t}); return {hook}.state()")
            assert state == {k: row[k] for k in keys}, f"seek({t}): {state} against row {index}: {row}"
        # line_follower's reading, worked out by the page, gives the command it then set.
        reading = page.run(f"return {hook}.defaultReading()")
        if index + 1 < len(trace) and reading["left"] is not None:
            after = trace[index + 1]
            assert [reading["left"], reading["right"]] == [after["left_command"], after["right_command"]], index

    # The camera: the snapshots, and the frames the robot saved for the test, pixel for pixel.
    pictures = sorted(folder.glob("camera-[0-9]*.png")) + sorted(folder.glob("camera-frame-*.png"))
    assert len(pictures) >= 5 + len(FRAME_TIMES), [p.name for p in pictures]
    for picture in pictures:
        t = float(re.search(r"(\d+\.\d+)s\.png$", picture.name).group(1))
        if t == 0.0:
            continue  # the image before the first step: no trace row shows it
        pixels = page.run(f"{hook}.seek({t}); const p = {hook}.cameraPixels();"
                          f" return {{t: {hook}.state().t, width: p.width, height: p.height, rgb: Array.from(p.rgb)}}")
        image = Image.open(picture)
        assert image.mode == "RGB" and (pixels["width"], pixels["height"]) == image.size, picture
        assert pixels["t"] == t, f"{picture.name}: shown at {pixels['t']}"
        assert bytes(pixels["rgb"]) == image.tobytes(), f"{picture.name}: the replay's frame differs"

    # Play runs the clock; pause stops it.
    page.run(f"{hook}.seek(20)")
    driver.find_element(By.ID, "play").click()
    time.sleep(0.6)
    driver.find_element(By.ID, "play").click()
    paused = page.run(f"return {hook}.state().t")
    assert paused > 20.2, f"playing for 0.6 s went from 20 s to {paused} s"
    time.sleep(0.3)
    assert page.run(f"return {hook}.state().t") == paused, "time went on after pause"

    # The keys step one frame.
    driver.find_element(By.TAG_NAME, "body").send_keys("\ue014")  # right arrow
    assert page.run(f"return {hook}.state().t") > paused

    page.run(f"{hook}.seek(41.3)")
    driver.save_screenshot(str(screenshot))
    page.check_quiet("replay.html")
    return ready_ms


# A canvas's pixels, read from a copy (the page's own canvases are not made for reading back).
PIXELS = "const pixels = (id) => { const c = document.getElementById(id), copy = document.createElement('canvas');" \
    " copy.width = c.width; copy.height = c.height; const g = copy.getContext('2d', {willReadFrequently: true});" \
    " g.drawImage(c, 0, 0); return g.getImageData(0, 0, c.width, c.height).data; };"
# The camera's pixels in the magenta that marks line_follower's dark pixels.
OVERLAY = PIXELS + " const d = pixels('camera'); let n = 0;" \
    " for (let i = 0; i < d.length; i += 4) n += d[i] === 255 && d[i + 1] === 0 && d[i + 2] === 255; return n"


# The track view's pixels darker than any the page draws itself but the robot's few.
DARK_TRACK = PIXELS + " const d = pixels('track'); let n = 0;" \
    " for (let i = 0; i < d.length; i += 4) n += d[i] < 40 && d[i + 1] < 40 && d[i + 2] < 40; return n"


def check_picture_replay(driver, folder, screenshot):
    """A world whose line is its picture's alone: the replay draws the picture (the mat's line and marks)."""
    page = Page(driver, folder / "replay.html")
    page.wait_for("window.lineSimReplay !== undefined")
    page.wait_for(f"(() => {{ {DARK_TRACK} }})() > 5000")
    driver.save_screenshot(str(screenshot))
    page.check_quiet("replay.html on a picture floor")


def check_other_controller(driver, folder):
    """Another controller's run: its commands as recorded, and line_follower's reading only once asked for."""
    page = Page(driver, folder / "replay.html")
    page.wait_for("window.lineSimReplay !== undefined")
    trace = read_trace(folder / "trace.csv")
    assert any(row["left_command"] != row["right_command"] for row in trace)
    for index in (3, 900, len(trace) - 1):
        state = page.run(f"lineSimReplay.seek({trace[index]['t']}); return lineSimReplay.state()")
        assert [state["left_command"], state["right_command"]] == \
            [trace[index]["left_command"], trace[index]["right_command"]], (index, state)
    readout = lambda: driver.find_element(By.ID, "readout").text
    assert page.run("return lineSimReplay.defaultReading()") is None, "line_follower's reading taken unasked"
    assert page.run(OVERLAY) == 0 and "scanned row" not in readout(), "line_follower's reading drawn unasked"
    box = driver.find_element(By.ID, "law")
    assert box.is_displayed() and not box.is_selected()
    box.click()
    assert page.run("return lineSimReplay.defaultReading()")["dark"] > 0
    assert page.run(OVERLAY) > 0 and "would command" in readout(), readout()
    page.check_quiet("another controller's replay.html")


def set_page_size(driver, page, width, height):
    """The page's own size, whatever the browser's frame takes, once drawn at it."""
    frame = page.run("return [outerWidth - innerWidth, outerHeight - innerHeight]")
    driver.set_window_size(width + frame[0], height + frame[1])
    page.wait_for(f"innerWidth === {width} && innerHeight === {height}")
    driver.execute_async_script("requestAnimationFrame(() => requestAnimationFrame(arguments[0]))")


def assert_apart(page, selectors, where):
    """The elements are each of some size, and none overlaps another."""
    rects = page.run(f"return {json.dumps(selectors)}.map(s => {{"
                     " const r = document.querySelector(s).getBoundingClientRect();"
                     " return [s, r.left, r.top, r.right, r.bottom]; })")
    for i, (a, *p) in enumerate(rects):
        assert p[2] - p[0] > 10 and p[3] - p[1] > 10, f"{a} is {p}"
        for b, *q in rects[i + 1:]:
            overlap = min(p[2], q[2]) - max(p[0], q[0]), min(p[3], q[3]) - max(p[1], q[1])
            assert min(overlap) <= 0.5, f"{where} {a} {p} overlaps {b} {q}"


def check_small_window(driver, folder):
    """At 800 x 600 the page's parts do not overlap; resized, the track is drawn again, never left blank."""
    page = Page(driver, folder / "replay.html")
    page.wait_for("window.lineSimReplay !== undefined")

    def resize(width, height):
        set_page_size(driver, page, width, height)
        colours = page.run(PIXELS + " const d = pixels('track'), seen = new Set();"
                           " for (let i = 0; i < d.length; i += 4 * 97) seen.add(d.slice(i, i + 4).join());"
                           " return seen.size")
        assert colours > 1, f"the track view is blank at {width} x {height}"
        drawn = page.run("const c = document.getElementById('track'), r = devicePixelRatio;"
                         " return [c.width, c.height, Math.round(c.clientWidth * r), Math.round(c.clientHeight * r)]")
        assert drawn[:2] == drawn[2:], f"at {width} x {height} the track was drawn for another size: {drawn}"

    resize(800, 600)
    assert_apart(page, ["header", "#controls", "#track", "#camera-panel", "#plots"], "at 800 x 600")
    resize(1400, 900)
    resize(800, 600)
    resize(1400, 900)


# How many of a canvas's pixels, in rows [top, bottom) of its height (shares), are of one colour.
COLOURED = PIXELS + " const [id, top, bottom, rgb] = arguments, c = document.getElementById(id), d = pixels(id);" \
    " let n = 0; for (let i = Math.floor(top * c.height) * c.width * 4; i < Math.floor(bottom * c.height) * c.width * 4;" \
    " i += 4) n += d[i] === rgb[0] && d[i + 1] === rgb[1] && d[i + 2] === rgb[2]; return n"


def check_robot_replay(driver, folder, screenshot):
    """A real robot's run: each step's commands and timing as its trace has them, the camera drawn with
    line_follower's reading (its command the next step's), a timing plot, the run's figures, no track;
    at 800 x 600 nothing overlaps."""
    page = Page(driver, folder / "replay.html")
    page.wait_for("window.lineSimReplay !== undefined")
    trace = read_trace(folder / "trace.csv")
    hook = "window.lineSimReplay"
    for index in (0, 1, 36, 700, len(trace) - 2, len(trace) - 1):
        row = trace[index]
        state = page.run(f"{hook}.seek({row['t']}); return {hook}.state()")
        assert state == row, f"{state} against row {index}: {row}"
        reading = page.run(f"return {hook}.defaultReading()")
        if index + 1 < len(trace):
            assert [reading["left"], reading["right"]] == [trace[index + 1]["left"], trace[index + 1]["right"]], index
    colours = page.run(PIXELS + " const d = pixels('camera'), seen = new Set();"
                       " for (let i = 0; i < d.length; i += 4 * 7) seen.add(d.slice(i, i + 4).join()); return seen.size")
    assert colours > 3, f"the camera shows {colours} colours"
    assert page.run("return getComputedStyle(document.getElementById('view')).display") == "none"
    assert page.run("return document.getElementById('track').getBoundingClientRect().width") == 0, "a track drawn"
    # The commands above, frame age (blue) and lateness (crimson) below.
    assert page.run(COLOURED, "plot", 0, 0.5, [192, 80, 0]) > 50, "no left command plotted"
    assert page.run(COLOURED, "plot", 0.5, 1, [0, 80, 200]) > 50, "no frame age plotted"
    assert page.run(COLOURED, "plot", 0.5, 1, [192, 0, 96]) > 20, "no lateness plotted"
    summary = json.loads((folder / "summary.json").read_text())
    readout = driver.find_element(By.ID, "readout").text
    for figure in (f"{summary['steps']} steps, {summary['overruns']} overran",
                   f"max {summary['frame_age_s']['max'] * 1000:.1f} ms", f"max {summary['late_s']['max'] * 1000:.1f} ms",
                   summary["end_reason"]):
        assert figure in readout, f"{figure!r} not in the readout: {readout}"

    set_page_size(driver, page, 800, 600)
    assert_apart(page, ["header", "#controls", "#camera-panel", "#plots"], "a robot's replay at 800 x 600")
    driver.save_screenshot(str(screenshot))
    set_page_size(driver, page, 1400, 900)
    page.check_quiet("a robot's replay.html")


def check_decimated(driver, folder):
    """A run too long to keep every step keeps every k-th, each exactly as traced."""
    page = Page(driver, folder / "replay.html")
    page.wait_for("window.lineSimReplay !== undefined")
    trace = read_trace(folder / "trace.csv")
    stride = page.run("return JSON.parse(document.getElementById('settings').textContent).stride")
    assert stride == -(-len(trace) // 32768) > 1, stride
    for index in (0, 5000, len(trace) - 1):
        state = page.run(f"lineSimReplay.seek({trace[index]['t']}); return lineSimReplay.state()")
        assert state["t"] == trace[index // stride * stride]["t"], (index, state)
    page.check_quiet("long replay.html")


def check_index(driver, out, worlds, screenshot):
    page = Page(driver, out / "index.html")
    rows = driver.find_elements(By.CSS_SELECTOR, "#runs-table tbody tr")
    assert len(rows) == len(worlds), len(rows)
    # Sorted by the mean error, the runs come in the summaries' order of it.
    driver.find_element(By.CSS_SELECTOR, "#runs-table th[data-key=mean_abs_lateral_error_m]").click()
    errors = {w: json.loads((out / w / "summary.json").read_text())["mean_abs_lateral_error_m"] for w in worlds}
    shown = [a.text for a in driver.find_elements(By.CSS_SELECTOR, "#runs-table tbody td:first-child a")]
    assert shown == sorted(worlds, key=errors.get), shown
    page.wait_for("[...document.images].every(i => i.complete && i.naturalWidth > 0)")
    driver.save_screenshot(str(screenshot))
    requests = page.check_quiet("index.html")
    assert sum(url.endswith("/trajectory.svg") for url in requests) == len(worlds), requests
    driver.find_element(By.LINK_TEXT, shown[-1]).click()
    page.wait_for("window.lineSimReplay !== undefined")
    assert driver.current_url == (out / shown[-1] / "replay.html").resolve().as_uri(), driver.current_url
    assert page.run("return document.title").startswith(shown[-1])


def check_sweep_index(driver, line_sim, out, screenshot):
    """index.html of a sweep of two keys over two seeds, at 1400 x 900: it fits, it leads with the figures,
    the hash is short with the whole one on hover, and the mean error sorts by its full value."""
    keys = ["camera.noise", "robot.axle_track"]
    result = subprocess.run([line_sim, "oval", "--sweep", "camera.noise=0,20", "--sweep", "robot.axle_track=0.05,0.07",
                             "--seeds", "1..2", "--duration", "5", "--out", str(out), "-q"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    runs = {run["folder"]: run for run in json.loads((out / "results.json").read_text())["runs"]}
    page = Page(driver, out / "index.html")
    page.wait_for("[...document.images].every(i => i.complete && i.naturalWidth > 0)")
    widths = page.run("const box = document.getElementById('table-box'); return {page: document.documentElement"
                      ".scrollWidth, window: window.innerWidth, box: box.scrollWidth, inside: box.clientWidth}")
    assert widths["window"] <= 1400 and widths["page"] <= widths["window"] and widths["box"] <= widths["inside"], widths
    headings = page.run("return [...document.querySelectorAll('#runs-table thead tr.keys th')]"
                        ".map(th => th.dataset.key || '')")
    figures = ["run", "", "laps_completed", "lap_times_s", "mean_abs_lateral_error_m", "max_abs_lateral_error_m",
               "time_off_line_s", "off_line_share", "end_reason"]
    assert headings[:len(figures) + len(keys)] == figures + keys, headings
    provenance = ["controller", "controller_sha256", "seed", "steps", "sim_time_s", "wall_time_s"]
    assert [k for k in headings if k in provenance] == provenance, headings
    assert all(k in page.run("return document.querySelector('#sweep svg title').textContent") for k in keys)

    def column(key):
        return headings.index(key) + 1

    def table():
        """Each row's folder, its mean error cell and its hash cell (text and title)."""
        return page.run(f"""return [...document.querySelectorAll('#runs-table tbody tr')].map(tr => [
            tr.querySelector('td:first-child a').getAttribute('href').split('/').slice(0, -1)
              .map(decodeURIComponent).join('/'),
            tr.querySelector('td:nth-child({column("mean_abs_lateral_error_m")})').textContent,
            tr.querySelector('td:nth-child({column("controller_sha256")})').textContent,
            tr.querySelector('td:nth-child({column("controller_sha256")})').title])""")

    rows = table()
    assert sorted(folder for folder, *_ in rows) == sorted(runs), rows
    for folder, error, short, whole in rows:
        run = runs[folder]
        assert error == f"{run['mean_abs_lateral_error_m'] * 1000:.2f}", (folder, error)
        assert whole == run["controller_sha256"] and short == whole[:12] and len(short) == 12, (folder, short, whole)
    heading = driver.find_element(By.CSS_SELECTOR, "#runs-table th[data-key=mean_abs_lateral_error_m]")
    for descending in (False, True):
        heading.click()
        errors = [runs[folder]["mean_abs_lateral_error_m"] for folder, *_ in table()]
        assert errors == sorted(errors, reverse=descending), errors
    driver.save_screenshot(str(screenshot))
    page.check_quiet("a sweep's index.html")

    # The same page with errors that all show as 5.14 mm, the smallest on the last run: sorted by the full value.
    text = (out / "index.html").read_text()
    start = text.index('<script id="runs" type="application/json">') + len('<script id="runs" type="application/json">')
    end = text.index("</script>", start)
    data = json.loads(text[start:end])
    for i, run in enumerate(data):
        run["summary"]["mean_abs_lateral_error_m"] = 0.0051404 - 1e-7 * i
    (out / "index-close.html").write_text(text[:start] + json.dumps(data).replace("<", "\\u003c") + text[end:])
    page = Page(driver, out / "index-close.html")
    assert {error for _, error, *_ in table()} == {"5.14"}, table()
    driver.find_element(By.CSS_SELECTOR, "#runs-table th[data-key=mean_abs_lateral_error_m]").click()
    assert [folder for folder, *_ in table()] == [run["folder"] for run in reversed(data)], table()


def main():
    line_sim, folder, edge_follower, robot_run_folder = sys.argv[1], Path(sys.argv[2]), sys.argv[3], sys.argv[4]
    shutil.rmtree(folder, ignore_errors=True)
    out, long, other, robot = folder / "runs", folder / "long", folder / "edge_follower", folder / "robot"
    picture = folder / "picture"
    env = dict(os.environ, SIM_FRAME_TIMES=",".join(map(str, FRAME_TIMES)))
    worlds = ["oval", "square"]
    for arguments in (worlds + ["--out", str(out)], ["s_curves", "--duration", "1200", "--out", str(long)],
                      ["oval", "--duration", "40", "--controller", edge_follower, "--out", str(other)],
                      ["mat_unmarked", "--duration", "5", "--out", str(picture)]):
        result = subprocess.run([line_sim, *arguments], env=env, capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
    result = subprocess.run([robot_run_folder, str(robot)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    size = (out / "oval" / "replay.html").stat().st_size
    assert size < 2_000_000, f"a 120 s replay.html of {size} bytes"

    with tempfile.TemporaryDirectory() as profile:
        driver = start_browser(profile)
        try:
            ready_ms = check_replay(driver, out / "oval", folder / "replay.png")
            check_decimated(driver, long / "s_curves")
            check_other_controller(driver, other / "oval")
            check_picture_replay(driver, picture / "mat_unmarked", folder / "replay-picture.png")
            check_small_window(driver, out / "oval")
            check_robot_replay(driver, robot, folder / "replay-robot.png")
            check_index(driver, out, worlds, folder / "index.png")
            check_sweep_index(driver, line_sim, folder / "sweep", folder / "index-sweep.png")
        finally:
            driver.quit()
    print(f"1 passed, 0 failed: oval's replay.html {size} bytes, interactive {ready_ms} ms after opening;"
          f" screenshots in {folder}")


if __name__ == "__main__":
    main()
