// What the page knows: the program's facts, the catalogue, the selection,
// the figures of the last scan and what happened since, and the task it
// follows. Views read S; the functions here are the only writers of the
// selection and the figures, and tell the views watching them (watch()).
// The task, the detail listing and the settings document have one writer
// each, named at their field.

// The program's own facts (GET /api/meta), filled once at start-up. Until
// then, or when it cannot be read: no limit is checked here (the program
// still checks its own) and no item is marked as needing an administrator.
export const META = { feedbackMaxChars: 0, detailDefault: 0, detailMax: 0, adminItems: new Set(), spaceKinds: [], userFileItems: new Set() };

export function loadMeta(m) {
  if (!m || !m.ok) return;
  META.feedbackMaxChars = Number(m.feedbackMaxChars) || 0;
  META.detailDefault = (m.detailFiles && Number(m.detailFiles.default)) || 0;
  META.detailMax = (m.detailFiles && Number(m.detailFiles.max)) || 0;
  META.adminItems = new Set(Array.isArray(m.adminItems) ? m.adminItems : []);
  META.spaceKinds = Array.isArray(m.spaceKinds) ? m.spaceKinds : [];
  // The items of the user's own files: a real clean moves them to the Recycle Bin.
  META.userFileItems = new Set(Array.isArray(m.userFileItems) ? m.userFileItems : []);
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
  cleaned: new Map(),     // id -> bytes removed by real cleans since the scan
  recycle: null,          // {items, bytes}
  skip: new Map(),        // item id -> Map(path -> size) of files left out until the next scan
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
export function itemFigure(it) {
  if (it.mode === "recyclebin") {
    return S.recycle ? { bytes: S.recycle.bytes, files: S.recycle.items, recycle: true } : null;
  }
  const f = S.scan ? S.scan.get(it.id) || null : null;
  const left = S.skip.get(it.id);
  if (!f || !left || !left.size) return f;
  let b = 0;
  for (const size of left.values()) b += size;
  return { bytes: Math.max(0, f.bytes - b), files: Math.max(0, f.files - left.size) };
}

// A category's known bytes: reclaimable, measured only, and selected.
export function catTotals(c) {
  let reclaim = 0, measure = 0, known = false, sel = 0;
  if (!S.scan) return { reclaim, measure, known, sel };
  for (const it of c.items) {
    const f = itemFigure(it);
    if (!f) continue;
    known = true;
    if (it.mode === "measure") measure += f.bytes;
    else {
      reclaim += f.bytes;
      if (S.selected.has(it.id)) sel += f.bytes;
    }
  }
  return { reclaim, measure, known, sel };
}

// The document of /api/scanresult (or an error) becomes the figures;
// partial: the scan was cancelled half-way.
export function applyScan(r, partial) {
  if (!r || !r.ok || r.empty) {
    S.scan = null;
  } else {
    S.scan = new Map(r.items.map((i) => [i.id, { bytes: i.bytes, files: i.files }]));
    S.scanAt = Date.now() - (Number(r.age) || 0);
  }
  S.scanPartial = !!partial;
  S.scanStale = false;
  S.cleaned = new Map();
  changed("figures");
}

// The items of a real clean's result: their bytes are added to what was
// cleaned since the scan, or (replace) are all of it, and the scan's figures
// are out of date.
export function noteCleaned(items, replace) {
  for (const r of items) {
    const it = S.items.get(r.id);
    if (it && it.mode !== "measure") S.cleaned.set(r.id, (replace ? 0 : S.cleaned.get(r.id) || 0) + r.bytes);
  }
  if (S.scan) S.scanStale = true;
  changed("figures");
}

// The document of /api/recycle (or an error); tell: redraw the figures.
export function setRecycle(r, tell) {
  S.recycle = r && r.ok && r.recycle && r.recycle.ok ? r.recycle : null;
  if (tell) changed("figures");
}

// A listed file of an item taken into (on) or left out of the next clean.
export function pickFile(id, f, on) {
  let left = S.skip.get(id);
  if (!left) { left = new Map(); S.skip.set(id, left); }
  if (on) left.delete(f.p); else left.set(f.p, Number(f.s) || 0);
  changed("figures");
}
// Every file of the item taken back into the next clean.
export function keepNoFiles(id) {
  S.skip.delete(id);
  changed("figures");
}
// A new scan starts with no file left out. Tells no one: the scan's figures follow.
export function clearSkips() { S.skip = new Map(); }

// The files of these items left out of a clean.
export function skipFor(ids) {
  const out = [];
  for (const id of ids) for (const p of (S.skip.get(id) || new Map()).keys()) out.push(p);
  return out;
}
