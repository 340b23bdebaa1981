#include "platform/html/binding_script.h"

#include "platform/html/script_page.h"

namespace platform::html {

namespace {

// Messages to C++: {event:"complete", url, ids}, {event:"click"|"change", id,
// elements:{id:{value,checked,selectedIndex}}}, {event:"help"}, {event:"move"}.
constexpr char kScript[] = R"JS(
(function () {
'use strict';
const post = (m) => {
  try { window.webkit.messageHandlers.orvweb.postMessage(m); } catch (e) { /* page gone */ }
};
const watched = new Set(WATCHED);
// Selection, dragging and the context menu follow the page rules only on
// these elements (and what they contain).
const TAGS = new Set(('a abbr acronym address applet area b base basefont bdo big blockquote body br ' +
  'button caption center cite code col colgroup dd del dir div dfn dl dt em fieldset font form frame ' +
  'frameset h1 h2 h3 h4 head hr html i iframe img input ins isindex kbd label legend li link map menu ' +
  'meta noframes noscript object ol optgroup option p param pre q s samp script select small span ' +
  'strike strong style sub sup table tbody td textarea tfoot th thead title tr tt u ul var xmp').split(' '));
const TEXT_TYPES = new Set(['text', 'search', 'url', 'tel', 'email', 'password', 'number',
  'date', 'datetime-local', 'month', 'time', 'week']);
let synthetic = false;

const elementOf = (t) => (t && t.nodeType === 1 ? t : (t ? t.parentElement : null));
const isTextEdit = (el) => {
  if (!el) return false;
  if (el.isContentEditable) return true;
  const tag = el.localName;
  if (tag === 'textarea') return true;
  return tag === 'input' && TEXT_TYPES.has(String(el.type).toLowerCase());
};
const governed = (el) => {
  for (let n = el; n; n = n.parentElement) if (TAGS.has(n.localName)) return true;
  return false;
};
const stateOf = (el) => {
  const tag = el.localName;
  const s = { value: '', checked: false, selectedIndex: -1 };
  if (tag === 'input' || tag === 'textarea' || tag === 'select' || tag === 'button' || tag === 'option')
    s.value = String(el.value);
  if (tag === 'input') s.checked = !!el.checked;
  if (tag === 'select') s.selectedIndex = el.selectedIndex;
  return s;
};
const elements = () => {
  const out = {};
  for (const id of watched) {
    const el = document.getElementById(id);
    if (el) out[id] = stateOf(el);
  }
  return out;
};
const watchedOf = (node) => {
  for (let n = node; n; n = n.parentNode)
    if (n.nodeType === 1 && n.id && watched.has(n.id)) return n.id;
  return null;
};
const report = (kind, e) => {
  const id = watchedOf(e.target);
  if (id !== null) post({ event: kind, id: id, elements: elements() });
};

window.addEventListener('click', (e) => report('click', e), true);
window.addEventListener('change', (e) => { if (!synthetic) report('change', e); }, true);

// Outside edit fields a selection or drag moves the window instead; C++
// starts the move once the pointer has left the drag threshold.
const selectOrDrag = (e) => {
  const el = elementOf(e.target);
  if (!el || !governed(el) || isTextEdit(el)) return;
  e.preventDefault();
  post({ event: 'move' });
};
window.addEventListener('selectstart', selectOrDrag, true);
// A page with user-select:none never fires selectstart, so a press outside
// edit fields, form controls and the page's scroll bars arms the move too.
const CONTROLS = new Set(['input', 'textarea', 'select', 'option', 'optgroup']);
window.addEventListener('mousedown', (e) => {
  if (e.button !== 0) return;
  const el = elementOf(e.target);
  if (!el || !governed(el) || isTextEdit(el) || CONTROLS.has(el.localName)) return;
  const root = document.documentElement;
  if (root && (e.clientX >= root.clientWidth || e.clientY >= root.clientHeight)) return;
  post({ event: 'move' });
}, true);
window.addEventListener('dragstart', selectOrDrag, true);
window.addEventListener('contextmenu', (e) => {
  const el = elementOf(e.target);
  if (el && governed(el) && !isTextEdit(el)) e.preventDefault();
}, true);
if (HELP) {
  window.addEventListener('keydown', (e) => {
    if (e.key === 'F1') { e.preventDefault(); post({ event: 'help' }); }
  }, true);
}

window.addEventListener('load', () => {
  const ids = [];
  for (const id of watched) if (document.getElementById(id)) ids.push(id);
  post({ event: 'complete', url: String(location.href), ids: ids });
});

// Writes from C++. Each looks its element up now and does nothing when it
// is missing; a write that changes a value fires 'change' for the page's own
// scripts, which is not reported back as the user's change.
const byId = (id) => document.getElementById(id);
const changed = (el) => {
  synthetic = true;
  try { el.dispatchEvent(new Event('change', { bubbles: true })); } finally { synthetic = false; }
};
const last = new Map();
self.__ob = {
  text(id, t) { const el = byId(id); if (el) el.textContent = t; },
  html(id, h) {
    const el = byId(id);
    if (!el) return;
    // The record time comes every second as plain text: setting it as text
    // spares the HTML parser and gives the same element.
    if (/[<&]/.test(h)) el.innerHTML = h; else el.textContent = h;
  },
  value(id, v) {
    const el = byId(id);
    if (!el) return;
    last.set(id, v);
    if (el.value !== v) { el.value = v; changed(el); }
  },
  prepend(id, p, keep) {
    const el = byId(id);
    if (!el) return;
    let v = p + (last.has(id) ? last.get(id) : String(el.value));
    // Only the newest keep lines stay: a log left running all evening must
    // not grow the text area without bound.
    if (keep > 0) {
      let end = 0;
      for (let n = 0; n < keep && end >= 0; ++n) {
        const feed = v.indexOf('\n', end);
        end = feed < 0 ? -1 : feed + 1;
      }
      if (end > 0) v = v.slice(0, end);
    }
    last.set(id, v);
    el.value = v;
    changed(el);
  },
  checked(id, c) {
    const el = byId(id);
    if (el && 'checked' in el && el.checked !== c) { el.checked = c; changed(el); }
  },
  disabled(id, d) {
    const el = byId(id);
    if (!el) return;
    if ('disabled' in el) el.disabled = d; else el.toggleAttribute('disabled', d);
  },
  style(id, p, v) {
    const el = byId(id);
    if (el) el.style.setProperty(p.replace(/[A-Z]/g, (m) => '-' + m.toLowerCase()), v);
  },
  options(id, list, selected) {
    const el = byId(id);
    if (!el || el.localName !== 'select') return;
    const before = el.value;
    el.length = 0;
    for (const [t, v] of list) {
      const o = document.createElement('option');
      o.text = t;
      o.value = v;
      el.add(o);
    }
    el.selectedIndex = selected;
    last.delete(id);
    if (el.value !== before) changed(el);
  },
};
})();
)JS";

void ReplaceOnce(std::string& s, std::string_view what, const std::string& with) {
  if (auto at = s.find(what); at != std::string::npos) s.replace(at, what.size(), with);
}

}  // namespace

std::string BindingScript(const std::vector<std::string>& watchedIds, bool helpKey) {
  std::string list = "[";
  for (size_t i = 0; i < watchedIds.size(); ++i) {
    if (i) list += ',';
    list += JsString(std::string_view(watchedIds[i]));
  }
  list += "]";
  std::string script = kScript;
  ReplaceOnce(script, "WATCHED", list);
  ReplaceOnce(script, "HELP", helpKey ? "true" : "false");
  return script;
}

}  // namespace platform::html
