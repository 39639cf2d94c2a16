// Fixture machinery shared by the API, instance and gate tests: the Windows
// environment each build sees, the catalogue document a build must serve,
// planting and removing files on drive C:, whole-tree listings to prove what
// a clean touched, and polling the background task.
//
// Deletion is what the program under test does, so every test that cleans
// lists the whole drive before and after and compares the two listings:
// exactly the expected entries may disappear, nothing may appear or change.

import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { CATALOGUE } from './catalogue.mjs';

const USER = os.userInfo().username;

// The Windows environment a build expands rule paths with. Native: the
// stand-in's defaults of a standard installation (the harness removes any
// real Windows variables). Wine: the layout of a wine prefix, whose profile
// folders are lower-case "users" and "windows" and whose %TEMP% lies
// directly in the profile.
export function windowsEnv(build) {
  const native = build.name === 'native';
  const users = native ? 'C:\\Users' : 'C:\\users';
  const windows = native ? 'C:\\Windows' : 'C:\\windows';
  const profile = `${users}\\${USER}`;
  return {
    SystemDrive: 'C:',
    SystemRoot: windows,
    windir: windows,
    ProgramFiles: 'C:\\Program Files',
    'ProgramFiles(x86)': 'C:\\Program Files (x86)',
    ProgramData: 'C:\\ProgramData',
    USERPROFILE: profile,
    APPDATA: `${profile}\\AppData\\Roaming`,
    LOCALAPPDATA: `${profile}\\AppData\\Local`,
    TEMP: native ? `${profile}\\AppData\\Local\\Temp` : `${profile}\\Temp`,
    PUBLIC: `${users}\\Public`,
  };
}

// Windows-style expansion: %NAME% looked up without regard to case, unknown
// names left as written; then trailing separators trimmed down to "C:\".
export function expand(build, text) {
  const env = windowsEnv(build);
  const out = text.replace(/%([^%]+)%/g, (whole, name) => {
    const key = Object.keys(env).find((k) => k.toLowerCase() === name.toLowerCase());
    return key === undefined ? whole : env[key];
  });
  let s = out;
  while (s.length > 3 && /[\\/]$/.test(s)) s = s.slice(0, -1);
  return s;
}

// The catalogue with every target expanded as the build expands it.
export function expandedCatalogue(build) {
  return CATALOGUE.map((c) => ({
    id: c.id,
    name: c.name,
    items: c.items.map((i) => ({ ...i, targets: i.targets.map((t) => expand(build, t)) })),
  }));
}

// The rules document, byte for byte: keys in the documented order (an
// object literal keeps insertion order through JSON.stringify), no white
// space, non-ASCII text raw, backslashes doubled. None of the texts holds a
// control character, where the program's escaper and JSON.stringify differ.
export function expectedRulesText(build) {
  const cats = expandedCatalogue(build).map((c) => ({
    id: c.id,
    name: c.name,
    items: c.items.map((i) => ({
      id: i.id,
      name: i.name,
      risk: i.risk,
      mode: i.mode,
      desc: i.desc,
      defaultEnabled: i.defaultEnabled,
      allowDetails: i.allowDetails,
      targets: i.targets,
      ...(i.tool ? { tool: i.tool } : {}),
    })),
  }));
  return JSON.stringify({ ok: true, categories: cats });
}

// ---- drive C: ----------------------------------------------------------------

// Host path of a Windows path on drive C: of this build. Windows names
// ignore letter case and wine resolves them so: a path element that exists
// in another case (C:\windows\WinSxS is drive_c/windows/winsxs) is the
// existing folder, never a second one beside it. The native stand-in keeps
// letter case significant, so there the path is taken as written.
export function hostOf(build, winPath) {
  const plain = build.hostPath(winPath);
  if (build.name === 'native') return plain;
  const rel = path.relative(build.driveC, plain);
  let cur = build.driveC;
  for (const part of rel.split(path.sep).filter(Boolean)) {
    let next = path.join(cur, part);
    if (!fs.existsSync(next)) {
      let names = [];
      try { names = fs.readdirSync(cur); } catch { /* a folder still to be made */ }
      const same = names.find((n) => n.toLowerCase() === part.toLowerCase());
      if (same !== undefined) next = path.join(cur, same);
    }
    cur = next;
  }
  return cur;
}

// Records what a test planted so that it can be removed again; only folders
// the fixture itself created are removed, never a folder that was there.
export class Planter {
  constructor(build) {
    this.build = build;
    this.created = []; // host paths of folders and files we created, in order
    this.files = new Map(); // win path -> {host, size, readOnly}
  }

  // Creates the folder (and parents), remembering which ones are new.
  dir(winPath) {
    const host = hostOf(this.build, winPath);
    const missing = [];
    for (let p = host; !fs.existsSync(p); p = path.dirname(p)) missing.unshift(p);
    for (const p of missing) {
      fs.mkdirSync(p);
      this.created.push(p);
    }
    return host;
  }

  // A file of `size` bytes (sparse beyond 1 MiB) holding a recognisable
  // pattern, so that a wrong file served or kept is visible in a diff.
  file(winPath, size, { readOnly = false } = {}) {
    const host = hostOf(this.build, winPath);
    this.dir(winPath.slice(0, winPath.lastIndexOf('\\')));
    if (fs.existsSync(host)) throw new Error(`fixture file exists already: ${host}`);
    if (size > 1 << 20) {
      fs.writeFileSync(host, '');
      fs.truncateSync(host, size);
    } else {
      const buf = Buffer.alloc(size, `${path.basename(host)}:`);
      fs.writeFileSync(host, buf);
    }
    this.created.push(host);
    if (readOnly) fs.chmodSync(host, 0o444);
    this.files.set(winPath, { host, size, readOnly });
    return host;
  }

  // A directory symbolic link at winLink pointing at the folder winTarget
  // (which the fixture must have created: links never point at anything
  // that matters).
  link(winLink, winTarget) {
    const host = hostOf(this.build, winLink);
    const target = hostOf(this.build, winTarget);
    if (!this.created.includes(target)) throw new Error(`link target ${target} is not ours`);
    this.dir(winLink.slice(0, winLink.lastIndexOf('\\')));
    fs.symlinkSync(target, host, 'dir');
    this.created.push(host);
    return host;
  }

  // Removes everything created, newest first; links are removed as links,
  // read-only files regain their write permission first.
  removeAll() {
    for (const p of [...this.created].reverse()) {
      let st;
      try { st = fs.lstatSync(p); } catch { continue; }
      try {
        if (st.isSymbolicLink()) fs.unlinkSync(p);
        else if (st.isDirectory()) fs.rmSync(p, { recursive: true, force: true });
        else { fs.chmodSync(p, 0o644); fs.unlinkSync(p); }
      } catch { /* best effort */ }
    }
    this.created = [];
    this.files.clear();
  }
}

// Parts of a wine drive that other programs change while a test runs, and
// that a whole-drive comparison therefore leaves out. The prefix is shared
// with the unit tests (ctest may run at the same time), which keep their
// fixtures in folders and files named "tamsel-<something>": C:\tamsel-t,
// %LOCALAPPDATA%\tamsel-t-<test>, and in %TEMP% tamsel-explorer-*,
// tamsel-child-result-*, tamsel-rules-* and the like. This suite names its
// own fixtures "tamsel-bb..." (and the program's folder is plain "tamsel"),
// so neither is ever left out. The desktop and browser tests also create
// and remove the program's own shortcuts, Tamsel.lnk on the desktop and in
// the Start menu, which no test here makes, and every start of the program
// there rewrites its port and token files. The native build's drive belongs
// to one test file alone and is compared whole. (In CI the suites run one
// after another and none of this churn happens; set TAMSEL_WINEPREFIX to a
// folder of its own to keep a development run apart from other sessions.)
function isForeignChurn(build, rel) {
  // The program's own records of real cleans and moves and its settings file are its
  // state, not something a clean removed or added; the tests of them look
  // at them directly.
  if (/^users\/[^/]+\/AppData\/Local\/tamsel\/(history(\/.*)?|moves(\/.*)?|settings\.json(\.bad)?)$/i.test(rel)) {
    return true;
  }
  if (build.name === 'native') return false;
  if (/^users\/[^/]+\/AppData\/Local\/tamsel\/(port|token)\.txt$/.test(rel)) return true;
  if (/^users\/[^/]+\/(Desktop|AppData\/Roaming\/Microsoft\/Windows\/Start Menu\/Programs)\/Tamsel\.lnk$/.test(rel)) {
    return true;
  }
  return rel.split('/').some((seg) => /^tamsel-/i.test(seg) && !/^tamsel-bb/i.test(seg));
}

// Every entry below drive C:, keyed by its path relative to the drive with
// forward slashes: "dir", "link -> target" or "file <size> <mtime ns> <mode>".
// Links are listed, never followed. Other programs' churn (above) is left
// out unless `all` is set. `root` lists another host folder the same way
// (the stand-in's or wine's drive D:).
export function listDrive(build, { all = false, root = build.driveC } = {}) {
  const out = new Map();
  const walk = (dir, rel) => {
    let names;
    try { names = fs.readdirSync(dir); } catch { return; }
    for (const name of names) {
      const r = rel ? `${rel}/${name}` : name;
      if (!all && isForeignChurn(build, r)) continue;
      const full = path.join(dir, name);
      let st;
      try { st = fs.lstatSync(full, { bigint: true }); } catch { continue; }
      if (st.isSymbolicLink()) {
        out.set(r, `link -> ${fs.readlinkSync(full)}`);
      } else if (st.isDirectory()) {
        out.set(r, 'dir');
        walk(full, r);
      } else {
        out.set(r, `file ${st.size} ${st.mtimeNs} ${(st.mode & 0o777n).toString(8)}`);
      }
    }
  };
  walk(root, '');
  return out;
}

// What changed between two listings.
export function diffListings(before, after) {
  const gone = [];
  const added = [];
  const changed = [];
  for (const [k, v] of before) {
    if (!after.has(k)) gone.push(k);
    else if (after.get(k) !== v) changed.push(`${k}: ${v} => ${after.get(k)}`);
  }
  for (const k of after.keys()) if (!before.has(k)) added.push(k);
  return { gone: gone.sort(), added: added.sort(), changed: changed.sort() };
}

// The drive-relative key of a Windows path, as listDrive spells it.
export function relKey(build, winPath) {
  return path.relative(build.driveC, hostOf(build, winPath)).split(path.sep).join('/');
}

// The FILETIME (100 ns since 1601) of a host file's last write, as BigInt.
export function fileTimeOf(hostPath) {
  const st = fs.statSync(hostPath, { bigint: true });
  return (st.mtimeNs / 100n) + 116444736000000000n;
}

// ---- the background task ------------------------------------------------------

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls /api/status until the task has ended and published (busy false,
// finished true, phase back to "idle"). Resolves with the last status.
export async function waitTask(srv, ms = 60_000) {
  const until = Date.now() + ms;
  for (;;) {
    const r = await srv.get('/api/status');
    const s = r.json;
    if (s && s.finished === true && s.busy === false && s.phase === 'idle') return s;
    if (Date.now() > until) throw new Error(`task still running after ${ms} ms: ${r.text}`);
    await sleep(15);
  }
}

// Extracts the numbers of a document whose shape is known apart from them;
// `template` is the exact text with each number replaced by "#". Returns the
// numbers as BigInt, or null when the text has another shape.
export function matchShape(text, template) {
  const esc = template.split('#').map((s) => s.replace(/[.*+?^${}()|[\]\\]/g, '\\$&'));
  const re = new RegExp(`^${esc.join('(\\d+)')}$`);
  const m = re.exec(text);
  return m ? m.slice(1).map((d) => BigInt(d)) : null;
}

export { sleep };
