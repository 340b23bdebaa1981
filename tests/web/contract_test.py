#!/usr/bin/env python3
"""The bundled pages keep the element contract the recorder binds to.

The recorder finds its controls only by element id, and it reads and writes
them as particular kinds of element (a text area's value, a select's options,
a checkbox's checked state). A renamed id or a changed kind silently breaks the
program, so every page of every language is checked here. The pages must also
work offline and from any server with the same layout: no external URLs.

Usage: contract_test.py WEB_FOLDER
"""

import re
import sys
import unittest
from html.parser import HTMLParser
from pathlib import Path

LANGUAGES = ("en", "de")

# id -> (tag, required attributes) ; None as tag means any element.
MAIN_PAGE = {
    "RecordButton": ("button", {"type": "button"}),
    "OptionsButton": ("button", {"type": "button"}),
    "OpenSongsButton": ("button", {"type": "button"}),
    "HelpButton": ("button", {"type": "button"}),
    "VolumeInc": ("button", {"type": "button"}),
    "VolumeDec": ("button", {"type": "button"}),
    "NowPlaying": (None, {}),
    "RecordLabel": (None, {}),
    "IsRecording": ("input", {"type": "hidden"}),
    "Log": ("textarea", {"readonly": None}),
    "GaugeTable": (None, {}),
    "RecGauge": (None, {}),
}

OPTIONS_PAGE = {
    "AudioSource": ("select", {}),
    "AudioInput": ("select", {}),
    "SongsFolder": ("input", {"type": "text"}),
    "ButtonBrowse": ("button", {"type": "button"}),
    "FormatLameEnc": ("input", {"type": "radio"}),
    "FormatWMA": ("input", {"type": "radio"}),
    "LameTitle": (None, {}),
    "ShowRecordLevel": ("input", {"type": "checkbox"}),
    "ButtonOK": ("button", {"type": "button"}),
    "ButtonCancel": ("button", {"type": "button"}),
}

PAGES = {
    "orvweb.htm": MAIN_PAGE,
    "orvwebOptions.htm": OPTIONS_PAGE,
    "help.aspx": {},
}

EXTERNAL = re.compile(r"^\s*(?:[a-z][a-z0-9+.-]*:)?//", re.IGNORECASE)
CSS_URL = re.compile(r"url\(\s*['\"]?([^'\")]*)", re.IGNORECASE)
URL_ATTRIBUTES = {"src", "href", "action", "formaction", "poster", "data", "background"}


class Page(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.elements = {}  # id -> list of (tag, attrs)
        self.urls = []
        self._in_style = False

    def handle_starttag(self, tag, attrs):
        attributes = {name.lower(): value for name, value in attrs}
        if "id" in attributes:
            self.elements.setdefault(attributes["id"], []).append((tag, attributes))
        for name, value in attributes.items():
            if name in URL_ATTRIBUTES and value is not None:
                self.urls.append(value)
            if name == "style" and value:
                self.urls.extend(CSS_URL.findall(value))
        self._in_style = tag == "style"

    def handle_endtag(self, tag):
        if tag == "style":
            self._in_style = False

    def handle_data(self, data):
        if self._in_style:
            self.urls.extend(CSS_URL.findall(data))
            self.urls.extend(re.findall(r"@import\s+['\"]([^'\"]+)", data))


def parse(path):
    page = Page()
    page.feed(path.read_text(encoding="utf-8"))
    page.close()
    return page


class ContractTest(unittest.TestCase):
    web = None

    def pages(self):
        for language in LANGUAGES:
            for name, contract in PAGES.items():
                yield self.web / language / name, contract

    def test_every_page_exists(self):
        for path, _ in self.pages():
            with self.subTest(page=str(path)):
                self.assertTrue(path.is_file(), f"{path} is missing")

    def test_contract_ids_exist_once_with_their_kind(self):
        for path, contract in self.pages():
            if not path.is_file():
                continue
            page = parse(path)
            for element_id, (tag, required) in contract.items():
                with self.subTest(page=str(path), id=element_id):
                    found = page.elements.get(element_id, [])
                    self.assertEqual(len(found), 1, f"id {element_id!r} occurs {len(found)} times")
                    actual_tag, attributes = found[0]
                    if tag is not None:
                        self.assertEqual(actual_tag, tag)
                    for name, value in required.items():
                        self.assertIn(name, attributes, f"{element_id} lacks {name}")
                        if value is not None:
                            self.assertEqual((attributes[name] or "").lower(), value)

    def test_format_choices_are_one_radio_group(self):
        for language in LANGUAGES:
            path = self.web / language / "orvwebOptions.htm"
            if not path.is_file():
                continue
            page = parse(path)
            with self.subTest(page=str(path)):
                names = {page.elements[i][0][1].get("name") for i in ("FormatLameEnc", "FormatWMA")
                         if i in page.elements}
                self.assertEqual(len(names), 1)
                self.assertNotIn(None, names)

    def test_no_external_urls(self):
        for path, _ in self.pages():
            if not path.is_file():
                continue
            for url in parse(path).urls:
                with self.subTest(page=str(path), url=url):
                    self.assertIsNone(EXTERNAL.match(url), "pages must work offline and from any server")
                    self.assertFalse(url.lower().lstrip().startswith(("http:", "https:")))

    def test_ids_are_unique_in_every_page(self):
        for path, _ in self.pages():
            if not path.is_file():
                continue
            for element_id, found in parse(path).elements.items():
                with self.subTest(page=str(path), id=element_id):
                    self.assertEqual(len(found), 1)

    def test_languages_offer_the_same_contract(self):
        for name, contract in PAGES.items():
            ids = []
            for language in LANGUAGES:
                path = self.web / language / name
                if path.is_file():
                    ids.append(set(parse(path).elements) & set(contract))
            with self.subTest(page=name):
                self.assertTrue(all(s == ids[0] for s in ids))


class CheckerTest(unittest.TestCase):
    """The checker itself catches the faults it is there for."""

    def check(self, html):
        page = Page()
        page.feed(html)
        page.close()
        return page

    def test_external_url_forms_are_caught(self):
        cases = [
            ('<img src="http://example.org/a.png">', True),
            ('<link href="https://example.org/a.css">', True),
            ('<script src="//cdn.example.org/a.js"></script>', True),
            ('<style>body{background:url( "//x/y.gif")}</style>', True),
            ('<style>@import "https://x/y.css";</style>', True),
            ('<div style="background:url(http://x/y)"></div>', True),
            ('<img src="img/howl.gif">', False),
            ('<a href="#formats">x</a>', False),
            ('<style>body{background:url(img/howl.gif)}</style>', False),
        ]
        for html, external in cases:
            with self.subTest(html=html):
                urls = self.check(html).urls
                self.assertEqual(any(EXTERNAL.match(u) or u.lower().startswith(("http:", "https:"))
                                     for u in urls), external)

    def test_duplicate_ids_are_counted(self):
        page = self.check('<p id="Log"></p><textarea id="Log"></textarea>')
        self.assertEqual(len(page.elements["Log"]), 2)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    ContractTest.web = Path(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v"])
