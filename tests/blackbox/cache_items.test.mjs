// The caches of today's browsers, chat, video and developer apps on the demo
// drive's user profile, for each build: a scan counts, and a real clean
// deletes, exactly the files that lie in each item's folders (every profile
// and account a wildcard folder stands for), and nothing beside them: no
// profile's cookies or history, no chat database or received file, no draft,
// no project or package a tool keeps. The expected set is computed here
// from the documented catalogue's targets, not from what the program reports.
//
// The tree comes from scripts/make_demo_drive.py --list; only the rows
// inside the user profile are planted, so that the real clean under wine
// never reaches the prefix's own system folders: the items whose targets
// lie outside the profile (Windows\Temp, the drive root's upgrade leftovers,
// Steam under Program Files, the installers' Package Cache) are covered by
// the engine's tests instead.
//
// The caches of programs built on Chromium that no item names are found by
// the structure of their folders (chromium-app-caches): a second run over
// the same planted tree scans, lists and cleans that item alone, against a
// model of the structure written here from the planted files.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { builds, REPO } from './harness.mjs';
import { CATALOGUE } from './catalogue.mjs';
import { windowsEnv, expand, hostOf, listDrive, diffListings, relKey, waitTask } from './fixtures.mjs';

const READY = /\[ok\] 关闭本窗口即退出程序\n/;
const PROFILE_VARS = /^%(USERPROFILE|LOCALAPPDATA|APPDATA|TEMP)%/i;
// The items of the browsers' profiles, the graphics, chat, video and
// developer caches, in catalogue order as the program runs them.
const CACHE_ITEMS = [
  'chrome-cache', 'edge-cache', 'chrome360-cache', 'se360-cache', 'qqbrowser-cache', 'brave-cache',
  'firefox-cache', 'nvidia-shader-cache', 'amd-shader-cache', 'intel-shader-cache',
  'adobe-media-cache', 'weixin4-cache', 'wechat3-cache', 'wxwork-cache', 'jianying-cache',
  'npm-cache', 'yarn-cache', 'pip-cache', 'nuget-cache', 'go-build-cache', 'cargo-cache',
  'gradle-caches', 'jetbrains-caches', 'vscode-cache', 'nuget-packages', 'maven-repository',
  'wsl-docker-disks', 'wechat-received-files', 'qqnt-received-files',
];
// The files received in chats go (to the Recycle Bin) only once this old,
// the user having chosen no age.
const RECEIVED_ITEMS = new Set(['wechat-received-files', 'qqnt-received-files']);
const RECEIVED_MIN_AGE_S = 30 * 86_400;
// A chat app's cache never takes a database file.
const CHAT_ITEMS = new Set(['weixin4-cache', 'wechat3-cache', 'wxwork-cache']);
const DATABASE = /\.db(-[^\\]*)?$/i;
const RECEIVED_PATHS = /\\(xwechat_files\\[^\\]+\\msg\\(file|video|attach)|WeChat Files\\[^\\]+\\FileStorage\\(File|Video|Image|MsgAttach)|Tencent Files\\[^\\]+\\nt_qq\\nt_data\\(File|Video|Pic))\\/i;

function demoRows() {
  const r = spawnSync('python3', [path.join(REPO, 'scripts', 'make_demo_drive.py'), '--list'],
    { encoding: 'utf8', maxBuffer: 64 << 20 });
  assert.equal(r.status, 0, `make_demo_drive.py --list failed: ${r.stderr}`);
  return r.stdout.trim().split('\n').map((l) => JSON.parse(l));
}

const lower = (s) => s.toLowerCase();
const isUnder = (p, dir) => lower(p).startsWith(`${lower(dir)}\\`);
const escape = (s) => s.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');

// Whether the item takes the file at the Windows path p: it lies in one of
// its target folders (a `*` stands for one whole folder name, letter case
// aside), or is the target itself; the virtual disks' folder of Docker takes
// only the *.vhdx files directly in each of its folders.
function takes(build, item, p) {
  if (CHAT_ITEMS.has(item.id) && DATABASE.test(p)) return false;
  return item.targets.some((t) => {
    const parts = expand(build, t).split('\\').map((n) => escape(n).replace(/\\\*/g, '[^\\\\]*'));
    const base = parts.join('\\\\');
    if (item.id === 'wsl-docker-disks' && /\\wsl\\\*$/i.test(t))
      return new RegExp(`^${base}\\\\[^\\\\]*\\.vhdx$`, 'i').test(p);
    return new RegExp(`^${base}(\\\\.*)?$`, 'i').test(p);
  });
}

// Plants the demo drive's rows inside the user profile on the build's drive
// C: into planted (win path -> {host, size, mtime}); the folders it made go
// into madeDirs, outermost first.
function plantProfile(build, planted, madeDirs) {
  const env = windowsEnv(build);
  for (const [template, size, mtime] of demoRows()) {
    const win = expand(build, template);
    if (!isUnder(win, env.USERPROFILE)) continue;
    const host = hostOf(build, win);
    if (fs.existsSync(host)) continue; // the prefix's own file: not ours to plant
    const missing = [];
    for (let p = path.dirname(host); !fs.existsSync(p); p = path.dirname(p)) missing.unshift(p);
    for (const p of missing) { fs.mkdirSync(p); madeDirs.push(p); }
    if (size > 4096) { fs.writeFileSync(host, ''); fs.truncateSync(host, size); } else fs.writeFileSync(host, Buffer.alloc(size, 'd'));
    // A received file is moved clear of the 30 days' line, so that the
    // clean's own moment cannot put it on the other side.
    let t = mtime;
    const age = Date.now() / 1000 - t;
    if (RECEIVED_PATHS.test(win) && Math.abs(age - RECEIVED_MIN_AGE_S) < 3600) t -= 7200;
    fs.utimesSync(host, t, t);
    planted.set(win, { host, size, mtime: t });
  }
}

// Removes what plantProfile planted.
function unplant(planted, madeDirs) {
  for (const { host } of planted.values()) fs.rmSync(host, { force: true });
  for (const dir of madeDirs.reverse()) fs.rmSync(dir, { recursive: true, force: true });
}

for (const build of builds()) {
  describe(`${build.name}: the caches of today on the demo drive`, () => {
    const env = windowsEnv(build);
    const planted = new Map(); // win path -> {host, size, mtime}
    const madeDirs = [];
    let srv = null;
    const items = CATALOGUE.flatMap((c) => c.items).filter((i) => CACHE_ITEMS.includes(i.id));

    before(async () => {
      assert.deepEqual(items.map((i) => i.id), CACHE_ITEMS, 'the items, in catalogue order');
      for (const i of items) assert.ok(i.targets.every((t) => PROFILE_VARS.test(t)), `${i.id} lies in the profile`);
      plantProfile(build, planted, madeDirs);
      srv = await build.start([]);
      await srv.waitFor(READY, 15_000);
    });

    after(async () => {
      await srv?.stop();
      unplant(planted, madeDirs);
    });

    test('a scan counts and a clean deletes exactly each item\'s caches, and nothing beside them', async () => {
      // (The received chat files older than 30 days go too, to the Recycle Bin.)
      const wins = [...planted.keys()];
      const oldEnough = (p) => Date.now() / 1000 - planted.get(p).mtime > RECEIVED_MIN_AGE_S;
      const model = new Map(items.map((i) => [i.id, wins.filter((p) => takes(build, i, p) &&
        (!RECEIVED_ITEMS.has(i.id) || oldEnough(p)))]));
      for (const id of RECEIVED_ITEMS) {
        const all = wins.filter((p) => takes(build, items.find((i) => i.id === id), p));
        assert.ok(all.some((p) => !oldEnough(p)), `${id}: the demo drive has recent received files`);
      }
      // Every item has files on the demo drive, and files beside them that must stay.
      for (const i of items) assert.ok(model.get(i.id).length > 0, `${i.id}: no demo files`);
      const mustStay = [
        /\\Google\\Chrome\\User Data\\Profile 1\\(History|Login Data|Bookmarks|Preferences|Network\\Cookies)$/,
        /\\Google\\Chrome\\User Data\\Profile 1\\(Local Storage|IndexedDB|Session Storage|Extensions)\\/,
        /\\Mozilla\\Firefox\\Profiles\\[^\\]+\\(places\.sqlite|logins\.json|key4\.db)$/,
        /\\xwechat_files\\[^\\]+\\db_storage\\/, /\\xwechat_files\\[^\\]+\\cache\\contact\.db$/,
        /\\WeChat Files\\[^\\]+\\Msg\\/, /\\Tencent Files\\[^\\]+\\nt_qq\\nt_db\\/,
        /\\WXWork\\[^\\]+\\(Data\\message\.db|Cache\\contact\.db)$/,
        /\\JianyingPro\\User Data\\(Projects|Cache\\effect)\\/,
        /\\\.cargo\\registry\\src\\/, /\\\.gradle\\(wrapper\\|gradle\.properties$)/,
        /\\Code\\User\\/,
      ];
      for (const re of mustStay) assert.ok(wins.some((p) => re.test(p)), `the demo drive plants ${re}`);
      const measured = new Set(items.filter((i) => i.mode === 'measure').map((i) => i.id));
      const expectedGone = new Set();
      for (const [id, files] of model) if (!measured.has(id)) for (const p of files) expectedGone.add(p);
      for (const p of expectedGone) for (const re of mustStay) assert.doesNotMatch(p, re, 'the model takes a file that must stay');
      // Received files younger than 30 days stay.
      for (const p of wins.filter((w) => RECEIVED_PATHS.test(w) && !oldEnough(w))) assert.ok(!expectedGone.has(p), p);

      const sum = (files) => files.reduce((a, p) => a + planted.get(p).size, 0);
      const figures = (doc) => Object.fromEntries(doc.items.map((i) => [i.id, [i.files, i.bytes]]));
      const want = Object.fromEntries(items.map((i) => [i.id, [model.get(i.id).length, sum(model.get(i.id))]]));

      assert.equal((await srv.post('/api/scan', { items: CACHE_ITEMS })).json?.ok, true);
      await waitTask(srv, 300_000);
      const scan = (await srv.get('/api/result')).json;
      assert.deepEqual(figures(scan), want, 'a scan: each item counts its caches');

      const beforeClean = listDrive(build);
      assert.equal((await srv.post('/api/clean', { items: CACHE_ITEMS, dryRun: false })).json?.ok, true);
      await waitTask(srv, 300_000);
      const real = (await srv.get('/api/result')).json;
      assert.equal(real.dryRun, false);
      assert.deepEqual(figures(real), want, 'a clean: each item deletes (or measures) its caches');
      assert.deepEqual(real.items.flatMap((i) => i.errors), []);

      const d = diffListings(beforeClean, listDrive(build));
      assert.deepEqual(d.added.filter((k) => !/^(users\/[^/]+\/AppData\/Local\/tamsel|\$Recycle\.Bin)(\/|$)/i.test(k)), []);
      assert.deepEqual(d.changed, []);
      const goneFiles = d.gone.filter((k) => beforeClean.get(k).startsWith('file '));
      assert.deepEqual(goneFiles, [...expectedGone].map((p) => relKey(build, p)).sort(), 'the files gone');
      // The folders gone: the Gradle cache folder as a whole, nothing else.
      const gradle = relKey(build, `${env.USERPROFILE}\\.gradle\\caches`);
      const goneDirs = d.gone.filter((k) => beforeClean.get(k) === 'dir');
      assert.deepEqual(goneDirs, [...beforeClean.keys()]
        .filter((k) => beforeClean.get(k) === 'dir' && (k === gradle || k.startsWith(`${gradle}/`))).sort());
      assert.ok(goneDirs.includes(gradle));
    });
  });
}

// ---- The caches of programs built on Chromium, found by their structure ----

const CHROMIUM_ITEM = 'chromium-app-caches';
const SEARCH_DEPTH = 8;
const parentOf = (p) => p.slice(0, p.lastIndexOf('\\'));
const leafOf = (p) => p.slice(p.lastIndexOf('\\') + 1);
const DATABASE_MARK = /^(CURRENT|MANIFEST-.*|.*\.(chk|jrs|edb))$/i;

// The browsers' user data folders the other items name: every target up to
// its folder "User Data".
function browserFolders(build) {
  const out = new Set();
  for (const i of CATALOGUE.flatMap((c) => c.items)) {
    if (i.id === CHROMIUM_ITEM) continue;
    for (const t of i.targets) {
      const m = /^(.*?\\User Data)(\\|$)/i.exec(expand(build, t));
      if (m) out.add(lower(m[1]));
    }
  }
  return out;
}

// The planted files the search takes, each with its program's folder: a
// file inside a folder GPUCache, GrShaderCache, DawnCache, Cache_Data, Code
// Cache (holding js or wasm) or Service Worker\CacheStorage at most eight
// levels below %APPDATA% or %LOCALAPPDATA%, whose parent holds a Local
// State, Preferences, Cookies or Network (or, for Cache_Data, is named
// Cache), outside the browsers' folders; never a *.db file nor a file
// beside a database's marks. From the planted paths alone.
function chromiumModel(build, wins) {
  const env = windowsEnv(build);
  const roots = [env.APPDATA, env.LOCALAPPDATA];
  const skips = browserFolders(build);
  const files = new Set(wins.map(lower));
  const dirs = new Set();
  const databases = new Set();
  for (const p of wins) {
    for (let d = parentOf(p); d.length > 3; d = parentOf(d)) dirs.add(lower(d));
    if (DATABASE_MARK.test(leafOf(p))) databases.add(lower(parentOf(p)));
  }
  const marked = (d) => ['local state', 'preferences', 'cookies'].some((n) => files.has(`${lower(d)}\\${n}`)) ||
    dirs.has(`${lower(d)}\\network`);
  const out = new Map(); // win path -> program folder
  for (const p of wins) {
    const root = roots.find((r) => isUnder(p, r));
    if (!root) continue;
    const parts = p.slice(root.length + 1).split('\\');
    let found = null;
    for (let k = 0; k < parts.length - 1 && k + 1 <= SEARCH_DEPTH && !found; k++) {
      const parent = [root, ...parts.slice(0, k)].join('\\');
      const dir = `${parent}\\${parts[k]}`;
      if (skips.has(lower(dir))) break;
      const name = lower(parts[k]);
      const m = marked(parent);
      if (m && ['gpucache', 'grshadercache', 'dawncache'].includes(name)) found = parent;
      else if (name === 'cache_data' && (m || lower(leafOf(parent)) === 'cache')) found = m ? parent : parentOf(parent);
      else if (m && name === 'code cache' && (dirs.has(lower(`${dir}\\js`)) || dirs.has(lower(`${dir}\\wasm`)))) found = parent;
      else if (m && name === 'service worker' && k + 2 <= SEARCH_DEPTH && k + 1 < parts.length - 1 &&
        lower(parts[k + 1]) === 'cachestorage') found = parent;
    }
    if (!found || /\.db(-[^\\]*)?$/i.test(p) || databases.has(lower(parentOf(p)))) continue;
    out.set(p, found);
  }
  return out;
}

for (const build of builds()) {
  describe(`${build.name}: the caches of programs built on Chromium on the demo drive`, () => {
    const env = windowsEnv(build);
    const planted = new Map();
    const madeDirs = [];
    let srv = null;

    before(async () => {
      plantProfile(build, planted, madeDirs);
      srv = await build.start([]);
      await srv.waitFor(READY, 15_000);
    });

    after(async () => {
      await srv?.stop();
      unplant(planted, madeDirs);
    });

    test('a scan, the file list and a clean take exactly the caches the structure shows, grouped by program', async () => {
      const wins = [...planted.keys()];
      const model = chromiumModel(build, wins);
      // The made-up programs at several depths are found, with the programs
      // named elsewhere in the catalogue that share the structure.
      const programs = new Set(model.values());
      for (const app of [`${env.APPDATA}\\LinkMeet`, `${env.APPDATA}\\MusicBox\\Partitions\\player`,
        `${env.LOCALAPPDATA}\\YunPan\\CloudDisk\\bin\\cef\\UserData`])
        assert.ok(programs.has(app), `the model finds ${app}`);
      // What must stay: the programs' own data, the look-alikes, the browsers.
      const mustStay = [
        /\\LinkMeet\\(Local State|Preferences|Network\\Cookies|config\.json)$/,
        /\\LinkMeet\\(Local Storage|IndexedDB|Session Storage|blob_storage|logs|recordings)\\/,
        /\\LinkMeet\\Service Worker\\(ScriptCache|Database)\\/,
        /\\PhotoEditor\\Cache\\/, /\\WorkNotes\\/, /\\MusicBox\\downloads\\/, /\\YunPan\\CloudDisk\\sync\\/,
        /\\Google\\Chrome\\User Data\\/, /\\JianyingPro\\User Data\\/,
      ];
      for (const re of mustStay) {
        assert.ok(wins.some((p) => re.test(p)), `the demo drive plants ${re}`);
        for (const p of model.keys()) assert.doesNotMatch(p, re, 'the model takes a file that must stay');
      }
      const want = [model.size, [...model.keys()].reduce((a, p) => a + planted.get(p).size, 0)];

      assert.equal((await srv.post('/api/scan', { items: [CHROMIUM_ITEM] })).json?.ok, true);
      await waitTask(srv, 300_000);
      const scan = (await srv.get('/api/result')).json.items.find((i) => i.id === CHROMIUM_ITEM);
      assert.deepEqual([scan.files, scan.bytes], want, 'a scan counts the caches');

      // The file list: every file with its program's folder, after the keys
      // every other item's files have.
      const detail = (await srv.get(`/api/detail?id=${CHROMIUM_ITEM}&limit=5000`)).json;
      assert.equal(detail.ok, true);
      assert.ok(model.size <= 5000);
      assert.deepEqual(new Map(detail.files.map((f) => [f.p, f.g])), model);
      for (const f of detail.files) assert.deepEqual(Object.keys(f), ['p', 's', 't', 'g']);
      const other = (await srv.get('/api/detail?id=vscode-cache&limit=5')).json;
      assert.ok(other.files.length > 0);
      for (const f of other.files) assert.deepEqual(Object.keys(f), ['p', 's', 't'], 'other items keep their shape');

      const beforeClean = listDrive(build);
      assert.equal((await srv.post('/api/clean', { items: [CHROMIUM_ITEM], dryRun: false })).json?.ok, true);
      await waitTask(srv, 300_000);
      const real = (await srv.get('/api/result')).json.items.find((i) => i.id === CHROMIUM_ITEM);
      assert.deepEqual([real.files, real.bytes], want, 'a clean deletes the caches');
      assert.deepEqual(real.errors, []);
      const d = diffListings(beforeClean, listDrive(build));
      assert.deepEqual(d.added.filter((k) => !/^users\/[^/]+\/AppData\/Local\/tamsel(\/|$)/i.test(k)), []);
      assert.deepEqual(d.changed, []);
      assert.deepEqual(d.gone, [...model.keys()].map((p) => relKey(build, p)).sort(), 'exactly the caches\' files are gone');
    });
  });
}
