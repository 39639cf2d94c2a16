// The settings document of /api/settings (S.settings, written only here and
// by the views that change one of its fields and then call saveSettings),
// and where the selection is kept: in the settings, or in this browser's
// storage when the program has none. The files left out for good
// ("excluded") are kept here too; without a settings document they are
// left out only until the next scan (state.js, S.skip).

import { $, toast } from "./dom.js";
import { api, apiToken, TOKEN_HEADER } from "./api.js";
import { closed } from "./connection.js";
import { S, selectedIds, pickFile, keepNoFiles, figuresChanged } from "./state.js";

const STORE_KEY = "tamsel.selection.v1";
const MAX_EXCLUDED = 100000;  // the program keeps no more

// The answer of GET /api/settings (or an error).
export function loadSettings(r) {
  S.settings = r && r.ok && r.settings ? r.settings : null;
  if (S.settings && !Array.isArray(S.settings.excluded)) S.settings.excluded = [];
  leftOutIndex = null;
  if (S.settings) $("opt-age").value = String(S.settings.olderThanDays);
}

// ---- files left out for good --------------------------------------------------

// Paths are compared as the program compares them: ASCII letters folded.
const fold = (p) => p.replace(/[A-Z]/g, (c) => c.toLowerCase());
// Folded path -> true and item id -> count of S.settings.excluded, built when
// first asked for after a change.
let leftOutIndex = null;
function index() {
  if (!leftOutIndex) {
    const paths = new Set(), counts = new Map();
    for (const [id, p] of S.settings.excluded) {
      paths.add(fold(p));
      counts.set(id, (counts.get(id) || 0) + 1);
    }
    leftOutIndex = { paths, counts };
  }
  return leftOutIndex;
}

// Whether a listed file of an item stays out of every clean. A file left
// out under any item is left out by all of them.
export function isLeftOut(id, path) {
  if (!S.settings) { const left = S.skip.get(id); return !!(left && left.has(path)); }
  return index().paths.has(fold(path));
}
// How many files were left out under the item.
export function leftOutCount(id) {
  if (!S.settings) { const left = S.skip.get(id); return left ? left.size : 0; }
  return index().counts.get(id) || 0;
}
// A listed file f of item id left out for good (out), or taken back into
// every item's clean. The item's figures follow at once (state.js pickFile).
export function leaveOut(id, f, out) {
  if (!S.settings) { pickFile(id, f, !out); return; }
  const key = fold(f.p);
  if (out) {
    if (index().paths.has(key)) return;
    if (S.settings.excluded.length >= MAX_EXCLUDED) {
      toast("最多记住 " + MAX_EXCLUDED + " 个不再清理的文件。请先恢复一些，或把整个文件夹设为不清理。");
      figuresChanged();
      return;
    }
    S.settings.excluded.push([id, f.p]);
  } else {
    if (!index().paths.has(key)) return;
    S.settings.excluded = S.settings.excluded.filter(([, p]) => fold(p) !== key);
  }
  leftOutIndex = null;
  saveSettings();
  pickFile(id, f, !out);
}
// Every file left out under the item, and every one of listed (its files on
// screen) whatever item it was left out under, taken back.
export function takeBackAll(id, listed) {
  if (!S.settings) { keepNoFiles(id); return; }
  const shown = (listed || []).filter((f) => isLeftOut(id, f.p));
  const keys = new Set(shown.map((f) => fold(f.p)));
  const before = S.settings.excluded.length;
  S.settings.excluded = S.settings.excluded.filter(([item, p]) => item !== id && !keys.has(fold(p)));
  if (S.settings.excluded.length === before) return;
  leftOutIndex = null;
  saveSettings();
  for (const f of shown) pickFile(id, f, true);
  figuresChanged();
}
// After a scan: the program forgets the files that are gone; the page
// follows, unless a change of its own is still on its way.
export async function refreshLeftOut() {
  if (!S.settings || closed()) return;
  let r;
  try { r = await api("/api/settings"); } catch (e) { return; }
  if (saving || unsaved || !S.settings || !r || !r.ok || !r.settings || !Array.isArray(r.settings.excluded)) return;
  if (r.settings.excluded.length === S.settings.excluded.length) return;
  S.settings.excluded = r.settings.excluded;
  leftOutIndex = null;
  figuresChanged();
}

// The stored selection, or null when none was stored.
export function storedSelection() {
  if (S.settings) return S.settings.selected;
  try { return JSON.parse(localStorage.getItem(STORE_KEY) || "null"); } catch (e) { return null; }
}
export function saveSelection() {
  if (S.settings) { S.settings.selected = selectedIds(); saveSettings(); return; }
  try { localStorage.setItem(STORE_KEY, JSON.stringify([...S.selected])); } catch (e) { /* private mode */ }
}

// Only files older than this many days are counted and cleaned; 0: all.
export const ageDays = () => (S.settings ? Number(S.settings.olderThanDays) || 0 : Number($("opt-age").value) || 0);

// The settings are saved whole at once, one request at a time so that an
// older document never lands after a newer one; a request outlives a
// reload or a closed tab (keepalive), and what changed while one was on
// its way follows it, or goes when the page is left.
let saving = false, unsaved = false;
function postSettings() {
  return fetch("/api/settings", {
    method: "POST", keepalive: true, cache: "no-store",
    headers: { "Content-Type": "application/json", [TOKEN_HEADER]: apiToken() },
    body: JSON.stringify(S.settings),
  });
}
export function saveSettings() {
  if (!S.settings || closed()) return;
  if (saving) { unsaved = true; return; }
  saving = true;
  postSettings()
    .then((r) => r.json())
    .then((r) => { if (!r.ok) toast(r.message || "设置没能保存。"); }, () => { /* the connection check reports it */ })
    .finally(() => {
      saving = false;
      if (unsaved) { unsaved = false; saveSettings(); }
    });
}
window.addEventListener("pagehide", () => { if (unsaved) { unsaved = false; postSettings().catch(() => {}); } });
