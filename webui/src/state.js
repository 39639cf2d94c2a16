// What the page knows: the program's facts, the catalogue, the selection,
// the figures of the last scan and what happened since, and the task it
// follows. Views read S; the functions here are the only writers of the
// selection and the figures, and tell the views watching them (watch()).
// The task, the detail listing and the settings document have one writer
// each, named at their field.

// The program's own facts (GET /api/meta), filled once at start-up. Until
// then, or when it cannot be read: no limit is checked here (the program
// still checks its own) and no item is marked as needing an administrator
// or as holding the user's own files (which a clean moves to the recycle bin
// and the automatic clean never takes).
export const META = { feedbackMaxChars: 0, detailDefault: 0, detailMax: 0, adminItems: new Set(), spaceKinds: [], userFileItems: new Set(), searchItems: new Set() };

export function loadMeta(m) {
  if (!m || !m.ok) return;
  META.feedbackMaxChars = Number(m.feedbackMaxChars) || 0;
  META.detailDefault = (m.detailFiles && Number(m.detailFiles.default)) || 0;
  META.detailMax = (m.detailFiles && Number(m.detailFiles.max)) || 0;
  META.adminItems = new Set(Array.isArray(m.adminItems) ? m.adminItems : []);
  META.spaceKinds = Array.isArray(m.spaceKinds) ? m.spaceKinds : [];
  META.userFileItems = new Set(Array.isArray(m.userFileItems) ? m.userFileItems : []);
  META.searchItems = new Set(Array.isArray(m.searchItems) ? m.searchItems : []);
}

// The items among ids whose files a real clean moves to the Recycle Bin.
export const userFileItemsOf = (ids) => ids.filter((id) => META.userFileItems.has(id)).map((id) => S.items.get(id)).filter(Boolean);

// The words of the page for what the Recycle Bin means to the space: shown
// by the confirmation and the result alike.
export const RECYCLE_NOTE = "这些是你自己的文件，会移到回收站，不会直接删除；回收站清空以后（「回收站」这一项）才会真正腾出这部分空间。";

export const S = {
  cats: [],               // the categories of /api/rules, each with its items
  items: new Map(),       // id -> item of /api/rules
  selected: new Set(),
  admin: null,            // the program runs with administrator rights
  scan: null,             // Map id -> {bytes, files} of the last scan
  scanAt: 0,              // local ms when that scan finished
  scanPartial: false,     // the last scan was cancelled half-way
  scanStale: false,       // a real clean ran after the last scan
  // [{items, files, bytes}] of the last scan: the files that several items
  // take, one entry per set of items (none from a program that does not say)
  overlaps: [],
  cleaned: new Map(),     // id -> {bytes, skipped} of real cleans since the scan
  recycle: null,          // {items, bytes}
  // Without a settings document: item id -> Map(path -> size) of files left
  // out until the next scan. With one, the files are left out for good
  // (S.settings.excluded, settings.js) and the program leaves them out of
  // the scan's figures itself.
  skip: new Map(),
  // With one: item id -> Map(path -> size) of files left out when the last
  // scan ran and ticked again since; with skip (files unticked since), what
  // the figures of the last scan are corrected by until the next.
  back: new Map(),
  task: null,             // the task this page follows (written by tasks.js)
  // The engine keeps its cancel flag up after a cancelled task until the
  // next task starts, and file listings come back empty meanwhile
  // (written by tasks.js).
  cancelLeft: false,
  detail: null,           // the open file listing (written by details.js)
  settings: null,         // the document of /api/settings (written by settings.js)
};

const watchers = { selection: [], figures: [] };
// fn() runs after every change of the selection ("selection") or of the
// figures shown for the items ("figures"), in the order of registration.
export function watch(what, fn) { watchers[what].push(fn); }
const changed = (what) => { for (const fn of watchers[what]) fn(); };
// The figures of the items are to be shown anew (the files left out changed).
export function figuresChanged() { changed("figures"); }

export const needsAdmin = (it) => META.adminItems.has(it.id);

// ---- catalogue and selection ----------------------------------------------

export function setCatalogue(categories) {
  S.cats = categories;
  for (const c of S.cats) for (const it of c.items) S.items.set(it.id, it);
}

// The selected ids in catalogue order.
export const selectedIds = () => {
  const out = [];
  for (const c of S.cats) for (const it of c.items) if (S.selected.has(it.id)) out.push(it.id);
  return out;
};

function defaults() {
  S.selected = new Set();
  for (const it of S.items.values()) if (it.defaultEnabled) S.selected.add(it.id);
}

// The stored selection, ids the catalogue lacks left out; the default
// selection when nothing was stored (ids is not an array). Tells no one.
export function restoreSelection(ids) {
  S.selected = new Set();
  if (Array.isArray(ids)) {
    for (const id of ids) if (S.items.has(id)) S.selected.add(id);
  } else {
    defaults();
  }
}

export function select(id, on) {
  if (on) S.selected.add(id); else S.selected.delete(id);
  changed("selection");
}
// All of the category's items, or none when all were selected.
export function toggleCategory(c) {
  const all = c.items.every((it) => S.selected.has(it.id));
  for (const it of c.items) {
    if (all) S.selected.delete(it.id); else S.selected.add(it.id);
  }
  changed("selection");
}
export function selectDefaults() { defaults(); changed("selection"); }
export function selectNone() { S.selected = new Set(); changed("selection"); }

// ---- figures ---------------------------------------------------------------

// Bytes the list and the totals show for one item, or null when unknown.
// An item cleaned since the scan has nothing left to free, and an item that
// shares files with a cleaned one no longer counts those files.
export function itemFigure(it) {
  if (it.mode === "recyclebin") {
    return S.recycle ? { bytes: S.recycle.bytes, files: S.recycle.items, recycle: true } : null;
  }
  let f = S.scan ? S.scan.get(it.id) || null : null;
  if (f && S.cleaned.size) f = afterCleans(it.id, f);
  const left = S.skip.get(it.id), back = S.back.get(it.id);
  if (!f || ((!left || !left.size) && (!back || !back.size))) return f;
  let b = 0, n = 0;
  if (left) for (const size of left.values()) { b -= size; n--; }
  if (back) for (const size of back.values()) { b += size; n++; }
  return { bytes: Math.max(0, f.bytes + b), files: Math.max(0, f.files + n) };
}

function afterCleans(id, f) {
  if (S.cleaned.has(id)) return { bytes: 0, files: 0 };
  let bytes = f.bytes, files = f.files;
  for (const o of S.overlaps) {
    if (o.items.includes(id) && o.items.some((x) => S.cleaned.has(x))) { bytes -= o.bytes; files -= o.files; }
  }
  return { bytes: Math.max(0, bytes), files: Math.max(0, files) };
}

// What cleaning the items ids frees by the figures on screen, each file
// counted once: the sum of their figures less, for every set of items that
// take the same files, those files' bytes once for each further item of the
// set among ids. Measure-only items free nothing and are not in it.
// {bytes, files, known: items with a figure, unknown: items without}.
export function freeable(ids) {
  const counted = new Set();
  let bytes = 0, files = 0, unknown = 0;
  for (const id of ids) {
    const it = S.items.get(id);
    if (!it || it.mode === "measure") continue;
    const f = itemFigure(it);
    if (!f) { unknown++; continue; }
    counted.add(id);
    bytes += f.bytes;
    files += f.files;
  }
  for (const o of S.overlaps) {
    // Files shared with a cleaned item are gone: no figure holds them any more.
    if (o.items.some((x) => S.cleaned.has(x))) continue;
    const k = o.items.filter((x) => counted.has(x)).length;
    if (k > 1) { bytes -= (k - 1) * o.bytes; files -= (k - 1) * o.files; }
  }
  return { bytes: Math.max(0, bytes), files: Math.max(0, files), known: counted.size, unknown };
}

// The headline: what the ticked items free.
export const selectedTotal = () => freeable(selectedIds());

// A category's known bytes: reclaimable (each file once), measured only.
export function catTotals(c) {
  let measure = 0, known = false;
  if (!S.scan) return { reclaim: 0, measure, known };
  for (const it of c.items) {
    const f = itemFigure(it);
    if (!f) continue;
    known = true;
    if (it.mode === "measure") measure += f.bytes;
  }
  return { reclaim: freeable(c.items.map((it) => it.id)).bytes, measure, known };
}

let scanSig = "";  // the figures of the scan on screen, as text

// The document of /api/scanresult (or an error) becomes the figures;
// partial: the scan was cancelled half-way.
export function applyScan(r, partial) {
  if (!r || !r.ok || r.empty) {
    S.scan = null;
  } else {
    S.scan = new Map(r.items.map((i) => [i.id, i.tool ? { bytes: i.bytes, files: i.files, tool: i.tool } : { bytes: i.bytes, files: i.files }]));
    S.scanAt = Date.now() - (Number(r.age) || 0);
  }
  S.overlaps = S.scan && Array.isArray(r.overlaps) ? r.overlaps : [];
  scanSig = S.scan ? JSON.stringify(r.items.map((i) => [i.id, i.bytes, i.files])) : "";
  S.scanPartial = !!partial;
  S.scanStale = false;
  S.cleaned = new Map();
  changed("figures");
}

// The items of a real clean's result: their bytes (and the files they had
// to leave) are added to what was cleaned since the scan, or (replace) are
// all of it; from then on they have nothing left to free, and the scan's
// figures of the other items are out of date.
export function noteCleaned(items, replace) {
  for (const r of items) {
    const it = S.items.get(r.id);
    if (!it || it.mode === "measure") continue;
    const was = (!replace && S.cleaned.get(r.id)) || { bytes: 0, skipped: 0 };
    S.cleaned.set(r.id, { bytes: was.bytes + r.bytes, skipped: was.skipped + (Number(r.skipped) || 0) });
  }
  keepCleaned();
  if (S.scan) S.scanStale = true;
  changed("figures");
}

// The program keeps only the result of its last task, which a later preview
// replaces: what was cleaned since the scan is kept in this browser's
// storage too, with the scan it follows (its figures and when it finished),
// so that a reload does not show the freed space as still there.
const CLEANED_KEY = "tamsel.cleaned.v1";
function keepCleaned() {
  try {
    localStorage.setItem(CLEANED_KEY, JSON.stringify({ sig: scanSig, at: S.scanAt, items: [...S.cleaned] }));
  } catch (e) { /* private mode: the program's last result still tells */ }
}
// Takes back what this browser kept for the scan on screen; true when it
// had something.
export function restoreCleaned() {
  let r = null;
  try { r = JSON.parse(localStorage.getItem(CLEANED_KEY) || "null"); } catch (e) { r = null; }
  if (!S.scan || !r || r.sig !== scanSig || Math.abs(r.at - S.scanAt) > 10000 || !Array.isArray(r.items) || !r.items.length) return false;
  S.cleaned = new Map(r.items.filter((x) => Array.isArray(x) && S.items.has(x[0]) && x[1]));
  S.scanStale = S.cleaned.size > 0;
  changed("figures");
  return S.cleaned.size > 0;
}

// The document of /api/recycle (or an error); tell: redraw the figures.
export function setRecycle(r, tell) {
  S.recycle = r && r.ok && r.recycle && r.recycle.ok ? r.recycle : null;
  if (tell) changed("figures");
}

const mapOf = (m, id) => { let v = m.get(id); if (!v) { v = new Map(); m.set(id, v); } return v; };
// A listed file of an item taken into (on) or left out of the next clean;
// with a settings document, a file left out when the scan ran and taken
// back in is added to the figures.
export function pickFile(id, f, on) {
  const left = mapOf(S.skip, id), back = mapOf(S.back, id);
  if (on) {
    if (left.has(f.p)) left.delete(f.p); else if (S.settings) back.set(f.p, Number(f.s) || 0);
  } else if (back.has(f.p)) {
    back.delete(f.p);
  } else {
    left.set(f.p, Number(f.s) || 0);
  }
  changed("figures");
}
// Every file of the item taken back into the next clean.
export function keepNoFiles(id) {
  S.skip.delete(id);
  changed("figures");
}
// A new scan starts with no file left out (without a settings document) and
// figures of its own. Tells no one: the scan's figures follow.
export function clearSkips() { S.skip = new Map(); S.back = new Map(); }

// The files of these items left out of a clean (the ones left out for good
// the program adds itself).
export function skipFor(ids) {
  const out = [];
  for (const id of ids) for (const p of (S.skip.get(id) || new Map()).keys()) out.push(p);
  return out;
}
