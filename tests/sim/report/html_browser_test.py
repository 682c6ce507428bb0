#!/usr/bin/python3
"""The boot's picture in a real browser: headless Chromium opens the page of
`meminfo-sim run SCENARIO --html FILE` from a file:// URL, once for the default
scenario and once for a boot that ends in the fatal trap (qemu-ovmf). One
Chromium run per page takes the screenshot and dumps the DOM; the test holds
the DOM to the JSON report of the same boot and the browser's log to no
console message at all (the page has no script).

Usage: html_browser_test.py --sim MEMINFO_SIM --source TREE --out DIR
Exit status: 0 passed, 1 failed, 77 Chromium is not installed (ctest: skipped;
`make check` installs it with tools/install-deps browser).
The screenshot of docs/boot-picture.png is DIR/default.png of a run.
"""
import argparse
import html.parser
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

ARGS = None
WINDOW = (1100, 1400)


class Dom(html.parser.HTMLParser):
    """Elements by id, every tag with its attributes, and the text under each id."""

    def __init__(self):
        super().__init__()
        self.tags = []        # (tag, attrs dict)
        self.by_id = {}       # id -> (tag, attrs)
        self.text = {}        # id -> text inside it
        self.count = {}       # id -> [tag names inside it]
        self._open = []       # ids open, with their depth
        self._depth = 0

    VOID = ("br", "meta", "hr", "img", "input", "link")

    def handle_starttag(self, tag, attrs, closed=False):
        a = dict(attrs)
        self.tags.append((tag, a))
        for i, _ in self._open:
            self.count[i].append(tag + "." + a.get("class", ""))
        if "id" in a:
            self.by_id[a["id"]] = (tag, a)
            self.text[a["id"]] = ""
            self.count[a["id"]] = []
        if closed or tag in self.VOID:
            return
        self._depth += 1
        if "id" in a:
            self._open.append((a["id"], self._depth))

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs, closed=True)

    def handle_endtag(self, tag):
        if tag in self.VOID:
            return
        self._open = [(i, d) for i, d in self._open if d < self._depth]
        self._depth -= 1

    def handle_data(self, data):
        for i, _ in self._open:
            self.text[i] += data


def sim(*args):
    return subprocess.run([ARGS.sim, *args], capture_output=True, timeout=120, cwd=ARGS.source)


def open_in_chromium(name, scenario):
    """(the JSON report, the DOM, the browser's console lines, the screenshot's path)."""
    page = os.path.join(ARGS.out, name + ".html")
    run = sim("run", scenario, "--html", page)
    report = json.loads(sim("run", scenario, "--json").stdout)
    shot = os.path.join(ARGS.out, name + ".png")
    with tempfile.TemporaryDirectory() as profile:
        browser = subprocess.run(
            [CHROMIUM, "--headless", "--disable-gpu", "--no-sandbox", "--hide-scrollbars", "--no-first-run",
             "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0",
             "--window-size=%d,%d" % WINDOW, "--screenshot=" + shot, "--dump-dom", "file://" + os.path.abspath(page)],
            capture_output=True, text=True, timeout=240)
    console = [l for l in browser.stderr.splitlines() if "CONSOLE" in l or "Uncaught" in l]
    dom = Dom()
    dom.feed(browser.stdout)
    return run.returncode, report, dom, console, shot


class BootPicture(unittest.TestCase):
    def check_page(self, dom, console, shot):
        self.assertEqual(console, [], "the browser's console")
        # Self-contained: nothing fetched, no script.
        for tag, attrs in dom.tags:
            self.assertNotIn(tag, ("script", "link", "iframe", "img", "object"), tag)
            for key in ("src", "href", "xlink:href"):
                self.assertNotIn(key, attrs, tag)
            self.assertNotIn("url(", attrs.get("style", ""), tag)
        with open(shot, "rb") as f:
            head = f.read(24)
        self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n", "the screenshot is a PNG")
        self.assertEqual(struct.unpack(">II", head[16:24]), WINDOW, "the screenshot's size")
        for element in ("address-map", "steps", "s3", "outcome"):
            self.assertIn(element, dom.by_id, element)
        self.assertEqual(dom.count["steps"].count("div.bar"), 7, "one bar per boot step")
        self.assertIn("rect.dram", dom.count["address-map"])
        self.assertGreaterEqual(dom.count["address-map"].count("g.gap"), 1, "DRAM to 4 GiB is not to scale")

    def test_default_scenario(self):
        status, report, dom, console, shot = open_in_chromium("default", "scenarios/default.toml")
        self.assertEqual(status, 0)
        self.check_page(dom, console, shot)
        self.assertEqual(dom.text["outcome"], "completed")
        self.assertNotIn("postcode", dom.by_id)
        populated = [s for s in report["record"]["channel_map"]["slots"] if s["populated"]]
        self.assertEqual(dom.count["channel-map"].count("tr."), len(populated) + 1)
        self.assertEqual(dom.count["chip-selects"].count("tr."), report["record"]["chip_select_table"]["count"] + 1)
        self.assertIn("rect.flash", dom.count["address-map"])
        self.assertIn("flash-map", dom.by_id)
        self.assertIn("the record", dom.text["address-map"])

    def test_trapped_boot(self):
        status, report, dom, console, shot = open_in_chromium("trapped", "scenarios/qemu-ovmf.toml")
        self.assertEqual(status, 1, "the platform halted")
        self.check_page(dom, console, shot)
        self.assertEqual(dom.text["outcome"], "halted")
        self.assertTrue(report["traps"]["halted"])
        self.assertEqual(dom.text["postcode"], report["traps"]["halt_code_hex"][2:])
        self.assertEqual(dom.count["postcode"].count("span."), 8)


CHROMIUM = shutil.which("chromium")

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--out", required=True)
    ARGS, rest = parser.parse_known_args()
    if CHROMIUM is None:
        print("skipped: chromium is not installed (tools/install-deps browser installs it; make check does)")
        sys.exit(77)
    os.makedirs(ARGS.out, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest)
