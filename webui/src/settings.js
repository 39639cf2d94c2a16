// The settings document of /api/settings (S.settings, written only here and
// by the views that change one of its fields and then call saveSettings),
// and where the selection is kept: in the settings, or in this browser's
// storage when the program has none.

import { $, toast } from "./dom.js";
import { apiToken, TOKEN_HEADER } from "./api.js";
import { closed } from "./connection.js";
import { S, selectedIds } from "./state.js";

const STORE_KEY = "tamsel.selection.v1";

// The answer of GET /api/settings (or an error).
export function loadSettings(r) {
  S.settings = r && r.ok && r.settings ? r.settings : null;
  if (S.settings) $("opt-age").value = String(S.settings.olderThanDays);
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
