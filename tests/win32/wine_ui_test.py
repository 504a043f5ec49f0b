#!/usr/bin/env python3
"""Drives kestrel.exe under Wine in a real (virtual) X display, as a person would: it types
keys and clicks with xdotool, looks at screenshots taken with ImageMagick's import, and
reads window texts through kestrel-probe.exe, a small helper that runs beside the program.

Usage: wine_ui_test.py CASE --build BUILD_DIR   (BUILD_DIR: the Windows build tree)
Each case starts its own Xvfb and the program, waits on conditions with time-outs, and
leaves its screenshots in BUILD_DIR/screenshots."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
LOGO = os.path.join(SOURCE, "tools", "art", "logo.bmp")

TITLE = "  KESTREL"
LOGO_AT = (300, 5)
LOG_X, LOG_Y, LOG_STEP = 5, 10, 18
ABOUT_CAPTION = "About KESTREL"
VERSION_TEXT = "KESTREL, Version 1.2"
LIST_TITLE = "Firmware update:"

# Window styles as USER32 defines them.
SS_ICON, SS_NOPREFIX, BS_DEFPUSHBUTTON = 0x3, 0x80, 0x1
WS_GROUP, WS_TABSTOP, WS_VSCROLL = 0x20000, 0x10000, 0x200000
LBS_NOTIFY, LBS_SORT, LBS_NOINTEGRALHEIGHT, LBS_DISABLENOSCROLL = 0x1, 0x2, 0x100, 0x1000
LIST_STYLES = (LBS_NOTIFY | LBS_SORT | LBS_NOINTEGRALHEIGHT | LBS_DISABLENOSCROLL | WS_VSCROLL |
               WS_TABSTOP)

STARTUP_S = 60  # the first start of a fresh Wine prefix is the slow one
UPDATE_S = 240  # a whole real-time update of one simulated device


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)
    print("ok: " + what, flush=True)


def wait_for(what, timeout_s, probe, interval_s=0.2):
    """Polls probe() until it returns something true; returns that or fails."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = probe()
        if value:
            print("ok: " + what, flush=True)
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out after %ss waiting for: %s" % (timeout_s, what))
        time.sleep(interval_s)


def catalogue_names(build):
    """Slot names in slot order, from the data set manifest the catalogue was compiled from."""
    manifest = os.path.join(build, "generated", "devdata", "manifest.txt")
    names = {}
    slot = None
    with open(manifest) as lines:
        for line in lines:
            line = line.strip()
            found = re.match(r"\[slot (\d+)\]", line)
            if found:
                slot = int(found.group(1))
            elif slot is not None and line.startswith("name ="):
                names[slot] = line.split("=", 1)[1].strip()
    return [names[s] for s in sorted(names)]


def read_bmp_4bit(path):
    """Pixels of a 16-colour BMP as rows of (r, g, b), top row first."""
    data = open(path, "rb").read()
    offset = int.from_bytes(data[10:14], "little")
    width = int.from_bytes(data[18:22], "little", signed=True)
    height = int.from_bytes(data[22:26], "little", signed=True)
    palette = [(data[54 + 4 * i + 2], data[54 + 4 * i + 1], data[54 + 4 * i]) for i in range(16)]
    stride = ((width + 1) // 2 + 3) // 4 * 4
    rows = []
    for y in range(height):
        row_data = data[offset + (height - 1 - y) * stride:]
        row = []
        for x in range(width):
            byte = row_data[x // 2]
            row.append(palette[(byte >> 4) if x % 2 == 0 else (byte & 15)])
        rows.append(row)
    return rows


class Image:
    """An RGB picture read from a binary PPM."""

    def __init__(self, data):
        fields = []
        at = 0
        while len(fields) < 4:
            while data[at:at + 1].isspace():
                at += 1
            start = at
            while not data[at:at + 1].isspace():
                at += 1
            fields.append(data[start:at])
        at += 1
        self.width, self.height = int(fields[1]), int(fields[2])
        self.pixels = data[at:]

    def at(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.pixels[i:i + 3])

    def region(self, x0, y0, width, height):
        return [[self.at(x0 + x, y0 + y) for x in range(width)] for y in range(height)]


class Session:
    """One virtual display with kestrel.exe running in it."""

    def __init__(self, build, case, dll, scenario=None):
        self.build = build
        self.case = case
        self.shots = os.path.join(build, "screenshots")
        os.makedirs(self.shots, exist_ok=True)
        for old in os.listdir(self.shots):
            if old.startswith(case + "-"):
                os.remove(os.path.join(self.shots, old))
        self.work = os.path.join(build, "wine-runs", case)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.prefix = os.path.join(build, "wineprefix")
        self.rendered = {}
        self.xvfb = None
        self.program = None
        # The program's folder: the .exe, and beside it the simulated D2XX library or none.
        self.program_dir = os.path.join(self.work, "program")
        os.makedirs(self.program_dir)
        shutil.copy(os.path.join(build, "ui", "win32", "kestrel.exe"), self.program_dir)
        dlls = os.path.join(build, "sim", "dll")
        if dll == "beside":
            shutil.copy(os.path.join(dlls, "FTD2XX.dll"), self.program_dir)
        elif dll == "partial":
            shutil.copy(os.path.join(dlls, "partial", "FTD2XX.dll"), self.program_dir)
        elif dll == "current-folder":
            shutil.copy(os.path.join(dlls, "FTD2XX.dll"), self.work)
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("KESTREL_SIM_SCENARIO", None)
        if scenario:
            self.env["KESTREL_SIM_SCENARIO"] = scenario

    # --- set-up and tear-down -------------------------------------------------------

    def start(self):
        self._start_display()
        self._prepare_prefix()
        # The current folder is not the program's: the D2XX library must be found beside
        # the program, never in the working folder.
        self.program = subprocess.Popen(
            ["wine", os.path.join(self.program_dir, "kestrel.exe")], cwd=self.work,
            env=self.env, stdout=open(os.path.join(self.work, "wine.log"), "w"),
            stderr=subprocess.STDOUT)
        return wait_for("main window shown", STARTUP_S, lambda: self.main_window())

    def _start_display(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    raise Failure("Xvfb did not start")
                number += chunk
        self.env["DISPLAY"] = ":" + number.decode().strip()

    def _prepare_prefix(self):
        marker = os.path.join(self.prefix, "kestrel-ready")
        if not os.path.exists(marker):
            began = time.monotonic()
            subprocess.run(["wineboot", "-i"], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Without a window manager Wine draws the window frames itself, so captions
            # and their close buttons are there to see and click.
            for value in ("Decorated", "Managed"):
                subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                                value, "/d", "N", "/f"], env=self.env, check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.env, check=True)
            open(marker, "w").close()
            print("Wine prefix made in %.1f s" % (time.monotonic() - began), flush=True)

    def stop(self):
        if self.program is not None and self.program.poll() is None:
            subprocess.run(["wineserver", "-k"], env=self.env)
            try:
                self.program.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.program.kill()
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        if self.xvfb is not None:
            self.xvfb.send_signal(signal.SIGTERM)
            self.xvfb.wait(timeout=20)

    # --- what the helper reports ------------------------------------------------------

    def probe(self, *args):
        result = subprocess.run(["wine", os.path.join(self.build, "tests", "win32",
                                                      "kestrel-probe.exe")] + list(args),
                                env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                timeout=60)
        return result.returncode, result.stdout.decode("latin-1")

    def main_window(self):
        code, out = self.probe("main")
        if code != 0:
            return None
        info = {"menu": []}
        for line in out.splitlines():
            key, _, value = line.partition("=")
            if key == "menu":
                info["menu"].append(value)
            elif key in ("window", "client"):
                info[key] = tuple(int(v) for v in value.split(","))
            else:
                info[key] = value
        return info if info.get("visible") == "1" else None

    def dialogs(self):
        _, out = self.probe("dialogs")
        found = []
        for line in out.splitlines():
            key, _, value = line.partition("=")
            if line.startswith("control "):
                key = "control"
            if key == "dialog":
                found.append({"caption": value, "controls": [], "items": []})
            elif key == "end" or not found:
                continue
            elif key in ("rect", "close"):
                found[-1][key] = tuple(int(v) for v in value.split(","))
            elif key == "owner":
                found[-1]["owner"] = value
            elif key == "item":
                found[-1]["items"].append(value)
            elif key == "control":
                fields = dict(re.findall(r"(\w+)=(\S*)", line.split(" text=")[0]))
                fields["text"] = line.split(" text=", 1)[1]
                fields["id"] = int(fields["id"])
                fields["rect"] = tuple(int(v) for v in fields["rect"].split(","))
                found[-1]["controls"].append(fields)
        return found

    def popups(self):
        _, out = self.probe("dialogs")
        return [tuple(int(v) for v in line.split("=", 1)[1].split(","))
                for line in out.splitlines() if line.startswith("popup=")]

    def dialog(self, caption):
        for found in self.dialogs():
            if found["caption"] == caption:
                return found
        return None

    # --- what the screen shows ----------------------------------------------------------

    def screenshot(self, name=None):
        data = subprocess.run(["import", "-display", self.env["DISPLAY"], "-window", "root", "-depth", "8",
                               "ppm:-"], env=self.env, stdout=subprocess.PIPE,
                              check=True).stdout
        if name:
            path = os.path.join(self.shots, "%s-%s.png" % (self.case, name))
            subprocess.run(["convert", "ppm:-", path], input=data, check=True)
        return Image(data)

    def rendering(self, text):
        """The pixels of text as the main window paints a log line."""
        if text not in self.rendered:
            path = os.path.join(self.work, "text%d.ppm" % len(self.rendered))
            code, _ = self.probe("render", text, path)
            check(code == 0, "text rendered: " + text)
            self.rendered[text] = Image(open(path, "rb").read())
        return self.rendered[text]

    def log_line_shows(self, shot, client, k, text):
        """Whether log line k shows exactly text: its pixels at (5, 10 + 18 k) and nothing
        more to the right of it before the logo's column."""
        glyphs = self.rendering(text)
        x0, y0 = client[0] + LOG_X, client[1] + LOG_Y + LOG_STEP * k
        if shot.region(x0, y0, glyphs.width, glyphs.height) != \
                glyphs.region(0, 0, glyphs.width, glyphs.height):
            return False
        background = glyphs.at(glyphs.width - 1, 0)
        for y in range(y0, y0 + glyphs.height):
            for x in range(x0 + glyphs.width, client[0] + LOGO_AT[0] - 2):
                if shot.at(x, y) != background:
                    return False
        return True

    def log_row_blank(self, shot, client, k):
        """Whether the row of log line k shows nothing left of the logo's column."""
        height = self.rendering("Update done o.k.").height
        y0 = client[1] + LOG_Y + LOG_STEP * k
        return all(shot.at(x, y) == (255, 255, 255) for y in range(y0, y0 + height)
                   for x in range(client[0], client[0] + LOGO_AT[0] - 2))

    def log_lines_showing(self, text, shot=None):
        window = self.main_window()
        if window is None:
            return []
        shot = shot or self.screenshot()
        return [k for k in range(10) if self.log_line_shows(shot, window["client"], k, text)]

    def wait_log(self, text, timeout_s):
        return wait_for('log shows "%s"' % text, timeout_s, lambda: self.log_lines_showing(text),
                        interval_s=0.5)

    # --- input ------------------------------------------------------------------------

    def key(self, *keys):
        subprocess.run(["xdotool", "key", "--delay", "50"] + list(keys), env=self.env, check=True)

    def click(self, x, y):
        subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", "1"],
                       env=self.env, check=True)

    def click_control(self, dialog, text):
        for control in dialog["controls"]:
            if control["text"] == text:
                left, top, right, bottom = control["rect"]
                self.click((left + right) // 2, (top + bottom) // 2)
                return
        raise Failure('no control "%s" in %s' % (text, dialog["caption"]))

    def wait_exit(self, timeout_s):
        try:
            return self.program.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within %ss" % timeout_s)


# --- the cases ----------------------------------------------------------------------------

def check_main_window(session, window):
    check(window["title"] == TITLE, 'window title "%s"' % window["title"])
    left, top, right, bottom = window["window"]
    check((right - left, bottom - top) == (500, 250), "outer size 500 x 250")
    shot = session.screenshot("main")
    logo = read_bmp_4bit(LOGO)
    x0, y0 = window["client"][0] + LOGO_AT[0], window["client"][1] + LOGO_AT[1]
    check(shot.region(x0, y0, len(logo[0]), len(logo)) == logo,
          "logo's 160 x 46 pixels at (300, 5) of the client area")


def case_startup(session):
    window = session.start()
    check_main_window(session, window)
    # Without FTD2XX.dll every open fails at the device list; the retries fill the log, so
    # every one of the ten lines shows the text at its row.
    wait_for("all ten log lines at y = 10 + 18 k", 60,
             lambda: session.log_lines_showing("Error USB adapter invalid") == list(range(10)),
             interval_s=0.5)
    # The menu by its access keys: File opens, Exit ends the program as a normal exit.
    session.key("alt+f")
    wait_for("File menu open", 10, lambda: session.popups())
    session.key("x")
    check(session.wait_exit(30) == 0, "File > Exit ends the program with exit code 0")


def check_about(session, names, how):
    about = wait_for("About box open (%s)" % how, 20, lambda: session.dialog(ABOUT_CAPTION))
    check(about["owner"] == "KESTREL", "About box owned by the main window")
    expected = ["%s ver. 01.02" % name for name in names]
    check(about["items"] == expected, "About list: %d entries in slot order" % len(expected))
    # The five controls in template order, with the styles that matter to the user.
    kinds = [(c["id"], c["class"].lower(), int(c["style"], 16)) for c in about["controls"]]
    check([k[:2] for k in kinds] == [(2, "static"), (-1, "static"), (1, "button"),
                                     (-1, "static"), (1000, "listbox")], "controls %s" % kinds)
    check(kinds[0][2] & 0x1F == SS_ICON, "icon control")
    check(kinds[1][2] & (SS_NOPREFIX | WS_GROUP) == SS_NOPREFIX | WS_GROUP, "version text style")
    check(kinds[2][2] & (BS_DEFPUSHBUTTON | WS_TABSTOP) == BS_DEFPUSHBUTTON | WS_TABSTOP,
          "OK is the default button")
    check(kinds[4][2] & LIST_STYLES == LIST_STYLES, "list box styles")
    texts = [c["text"] for c in about["controls"][1:4]]
    check(texts == [VERSION_TEXT, "OK", LIST_TITLE], "texts %s" % texts)
    return about


def wait_about_closed(session, how):
    wait_for("About box closed by %s" % how, 20, lambda: session.dialog(ABOUT_CAPTION) is None)


def case_about(session):
    window = session.start()
    names = catalogue_names(session.build)
    check(len(names) == 20, "20 named slots in the data set")

    session.key("alt+question")
    check_about(session, names, "Alt+?")
    session.screenshot("about")
    session.key("Escape")
    wait_about_closed(session, "Esc")

    session.key("alt+slash")
    check_about(session, names, "Alt+/")
    session.key("Return")
    wait_about_closed(session, "Enter")

    # Help > About with the mouse: "Help" on the menu bar just above the client area, right
    # of "File", then the only entry of its menu.
    session.click(window["client"][0] + 52, window["client"][1] - 10)
    popup = wait_for("Help menu open", 10, lambda: session.popups())[0]
    session.click((popup[0] + popup[2]) // 2, (popup[1] + popup[3]) // 2)
    about = check_about(session, names, "Help > About")
    session.click_control(about, "OK")
    wait_about_closed(session, "OK")

    session.key("alt+question")
    about = check_about(session, names, "Alt+? again")
    check("close" in about, "close button found on the caption")
    session.click(*about["close"])
    wait_about_closed(session, "the close button")
    check(session.program.poll() is None, "program still running")


def case_keys(session):
    window = session.start()
    moves = [("Left", -1, 0), ("Up", 0, -1), ("Right", 1, 0), ("Down", 0, 1)]
    for key, dx, dy in moves:
        before = session.main_window()["window"]
        session.key(key)
        after = wait_for("window moved by %s" % key, 10,
                         lambda: (lambda w: w if w and w["window"] != before else None)(
                             session.main_window()))["window"]
        check((after[0] - before[0], after[1] - before[1]) == (dx, dy),
              "%s moves the window by (%d, %d)" % (key, dx, dy))
        check((after[2] - after[0], after[3] - after[1]) ==
              (before[2] - before[0], before[3] - before[1]), "%s keeps the size" % key)
    # F1 then Right: once the Right move shows, F1 has been handled and must have done
    # nothing (no window, no move).
    before = session.main_window()["window"]
    session.key("F1", "Right")
    after = wait_for("window moved after F1, Right", 10,
                     lambda: (lambda w: w if w and w["window"] != before else None)(
                         session.main_window()))["window"]
    check(after == (before[0] + 1, before[1], before[2] + 1, before[3]), "F1 does not move it")
    check(session.dialogs() == [], "F1 opens nothing")
    session.key("alt+F4")
    check(session.wait_exit(30) == 0, "Alt+F4 ends the program with exit code 0")


def case_no_adapter(session):
    session.start()
    session.wait_log("Error USB adapter invalid", 60)
    check(session.program.poll() is None, "program keeps running without FTD2XX.dll")
    session.screenshot("no-adapter")
    session.key("alt+F4")
    check(session.wait_exit(30) == 0, "Alt+F4 ends the program with exit code 0")


def case_unusable_dll(session):
    """An FTD2XX.dll that lacks an entry point, or one that lies only in the current folder,
    is as good as none."""
    session.start()
    session.wait_log("Error USB adapter invalid", 60)
    check(session.program.poll() is None, "program keeps running")


def wait_question(session):
    return wait_for('question box "Update another device?"', UPDATE_S,
                    lambda: (lambda d: d if d and any(
                        c["text"] == "Update another device?" for c in d["controls"]) else None)(
                        session.dialog("Update done o.k.")), interval_s=0.5)


def case_healthy(session):
    session.start()
    done = session.wait_log("Update done o.k.", UPDATE_S)[0]
    shot = session.screenshot("update-done")
    # An empty line is logged before the result: it draws nothing but keeps its row.
    client = session.main_window()["client"]
    check(session.log_row_blank(shot, client, done - 1) and
          session.log_lines_showing("Disconnect device please.", shot) == [done + 1],
          "empty line %d keeps its row between its neighbours" % (done - 1))
    box = wait_question(session)
    check(session.log_lines_showing("Update done o.k."), "log still shows the result")
    session.screenshot("question")
    session.click_control(box, "&No")
    check(session.wait_exit(30) == 0, "No ends the program with exit code 0")


def case_another(session):
    session.start()
    box = wait_question(session)
    # Yes: a fresh cycle for the next device of the bench, whose cleared log shows the
    # adapter and the search on its first two lines and the first result no more; then
    # that device is updated in turn.
    session.click_control(box, "&Yes")
    wait_for("question box gone", 20, lambda: session.dialog("Update done o.k.") is None)
    wait_for("next cycle: cleared log, searching on line 1", 60,
             lambda: 1 in session.log_lines_showing("Device searching...") and
             not session.log_lines_showing("Update done o.k."), interval_s=0.5)
    box = wait_question(session)
    check(session.log_lines_showing("Update done o.k."), "the next device updated")
    session.click_control(box, "&No")
    check(session.wait_exit(30) == 0, "No ends the program with exit code 0")


def case_unsupported(session):
    session.start()
    box = wait_for('"Unsupported device" box', UPDATE_S,
                   lambda: session.dialog("Unsupported device"), interval_s=0.5)
    text = "\n".join(c["text"] for c in box["controls"]).replace("\\r\\n", "\n")
    identity = re.search(r"Your device: (\(\d{5}:\d{5}\) H:[0-9A-F]{4} B:[0-9A-F]{4} "
                         r"S:[0-9A-F]{4})", text)
    check(identity is not None, "box shows the identity line")
    check(session.log_lines_showing("ID " + identity.group(1)), "log shows the same identity")
    names = catalogue_names(session.build)
    listed = re.findall(r"(\w+) \(H:[0-9A-F]{4}\)", text.split("Supported devices:", 1)[-1])
    check(listed == names, "box lists the %d supported devices in slot order" % len(names))
    session.screenshot("unsupported")
    session.click_control(box, "OK")
    wait_for("box closed", 20, lambda: session.dialog("Unsupported device") is None)


# Case: (steps, where a simulated FTD2XX.dll lies, its scenario).
CASES = {
    "startup": (case_startup, None, None),
    "about": (case_about, None, None),
    "keys": (case_keys, None, None),
    "no-adapter": (case_no_adapter, None, None),
    "partial-dll": (case_unusable_dll, "partial", "healthy"),
    "dll-in-current-folder": (case_unusable_dll, "current-folder", "healthy"),
    "healthy": (case_healthy, "beside", "healthy"),
    "another": (case_another, "beside", "healthy"),
    "unsupported": (case_unsupported, "beside", "unsupported"),
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    run, dll, scenario = CASES[args.case]
    build = os.path.abspath(args.build)
    session = Session(build, args.case, dll, scenario)
    began = time.monotonic()
    try:
        run(session)
    except Failure as failure:
        try:
            session.screenshot("failure")
        except Exception:  # the screenshot is only a help for the reader
            pass
        print("FAILED: %s" % failure, flush=True)
        return 1
    finally:
        session.stop()
        print("%s: %.1f s" % (args.case, time.monotonic() - began), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
