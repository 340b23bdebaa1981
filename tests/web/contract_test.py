#!/usr/bin/env python3
"""The bundled pages keep the element contract the recorder binds to.

The recorder finds its controls only by element id, and it reads and writes
them as particular kinds of element (a text area's value, a select's options,
a checkbox's checked state). A renamed id or a changed kind silently breaks the
program, so every page of every language is checked here. The pages must also
work offline and from any server with the same layout: no external URLs.

A language's page may hold only its texts and take its markup from the shared
script (common/orvweb.js): such a page is checked as the browser builds it,
the script's markup for the page's kind with the page's texts put in.

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


SHARED_SCRIPT = "../common/orvweb.js"
PAGE_KIND = re.compile(r'<html[^>]*\sclass="([^"]*)"', re.IGNORECASE)
TEXT = re.compile(r"<dt>\s*(\w+)\s*<dd>([^<]*)")
PLACEHOLDER = re.compile(r"\{\{(\w+)\}\}")


def shared_markup(script, kind):
    """The markup the shared script builds for a page of this kind, or None."""
    found = re.search(r"'%s':\s*`(.*?)`" % re.escape(kind), script, re.DOTALL)
    return found.group(1) if found else None


def built(path):
    """The page's text with the shared script's markup put in, as the script
    does it, and the names of the texts its markup asks for but the page lacks."""
    text = path.read_text(encoding="utf-8")
    kind = PAGE_KIND.search(text)
    script_path = path.parent / SHARED_SCRIPT
    if not kind or SHARED_SCRIPT not in text or not script_path.is_file():
        return text, set()
    markup = shared_markup(script_path.read_text(encoding="utf-8"), kind.group(1).split()[0])
    if markup is None:
        return text, set()
    from html import escape, unescape
    texts = {name: unescape(value) for name, value in TEXT.findall(text)}
    missing = set(PLACEHOLDER.findall(markup)) - set(texts)
    markup = PLACEHOLDER.sub(lambda m: escape(texts.get(m.group(1), m.group(1)).strip()), markup)
    return text + markup, missing


def parse(path):
    page = Page()
    page.feed(built(path)[0])
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

    def test_shared_files_exist_and_stay_inside_the_pages(self):
        for path, _ in self.pages():
            if not path.is_file():
                continue
            for url in parse(path).urls:
                if url.startswith("#") or url.lower().startswith("data:"):
                    continue
                with self.subTest(page=str(path), url=url):
                    target = (path.parent / url.split("#")[0].split("?")[0]).resolve()
                    self.assertTrue(target.is_file(), f"{url} does not exist")
                    self.assertTrue(target.is_relative_to(self.web.resolve()), f"{url} leaves the pages' folder")

    def test_shared_stylesheet_has_no_external_urls(self):
        for sheet in sorted((self.web / "common").glob("*.css")):
            text = sheet.read_text(encoding="utf-8")
            for url in CSS_URL.findall(text) + re.findall(r"@import\s+['\"]([^'\"]+)", text):
                with self.subTest(sheet=str(sheet), url=url[:60]):
                    self.assertIsNone(EXTERNAL.match(url))
                    self.assertFalse(url.lower().lstrip().startswith(("http:", "https:")))

    def test_every_text_the_shared_markup_asks_for_is_given(self):
        for path, _ in self.pages():
            if not path.is_file():
                continue
            with self.subTest(page=str(path)):
                self.assertEqual(built(path)[1], set())

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

    def test_a_text_only_page_gets_the_shared_markup_and_its_texts(self):
        import tempfile
        with tempfile.TemporaryDirectory() as folder:
            root = Path(folder)
            (root / "common").mkdir()
            (root / "en").mkdir()
            (root / "common" / "orvweb.js").write_text("var PAGES = {'main-page': `<b id=\"Log\" title=\"{{tip}}\">{{word}}</b>`};")
            page = root / "en" / "orvweb.htm"
            page.write_text('<html class="main-page"><dl id="Texts" hidden><dt>word<dd>a < b</dl>'
                            '<script src="../common/orvweb.js"></script>'.replace("a < b", "a &lt; b"))
            text, missing = built(page)
            self.assertEqual(missing, {"tip"})
            self.assertIn('<b id="Log" title="tip">a &lt; b</b>', text)

    def test_duplicate_ids_are_counted(self):
        page = self.check('<p id="Log"></p><textarea id="Log"></textarea>')
        self.assertEqual(len(page.elements["Log"]), 2)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    ContractTest.web = Path(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v"])
