// The cleaning API of the real program, for every build found: the exact
// documents of every endpoint, and whole scan / dry-run / real-clean cycles
// over files planted on the build's drive C: (native: a fresh temporary
// drive; windows: the wine prefix's drive_c, where the planted files live in
// the user profile and are removed again afterwards).
//
// Every clean is checked against a listing of the whole drive taken before
// and after it: a dry run must change nothing at all, a real clean must make
// exactly the selected files vanish and nothing else.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { builds, parseResponse } from './harness.mjs';
import { CATALOGUE, ITEM_COUNT, TARGET_COUNT } from './catalogue.mjs';
import {
  windowsEnv, expandedCatalogue, expectedRulesText, Planter, listDrive, diffListings,
  relKey, fileTimeOf, waitTask, matchShape, sleep,
} from './fixtures.mjs';

const STATUS_IDLE =
  '{"ok":true,"busy":false,"finished":false,"phase":"idle","done":0,"total":0,"bytes":0,"files":0,"cur":""}';
const RESULT_NONE =
  '{"ok":true,"kind":"","dryRun":false,"items":[],"totalBytes":0,"totalFiles":0,"freeBefore":0,"freeAfter":0}';
const SCANRESULT_NONE =
  '{"ok":true,"kind":"scan","empty":true,"items":[],"totalBytes":0,"totalFiles":0,"overlaps":[]}';
const OK = '{"ok":true}';
const BUSY = '{"ok":false,"message":"已有任务在运行"}';
const NOTHING_SELECTED = '{"ok":false,"message":"没有选中任何清理项"}';
const ITEMS_NOT_IDS = '{"ok":false,"message":"items 必须是清理项 ID 的数组"}';
const NOT_JSON_OBJECT = '{"ok":false,"message":"请求不是有效的 JSON 对象"}';
const NO_SUCH_ITEM = '{"ok":false,"message":"no such item"}';
const NO_SUCH_API = '{"code":404,"message":"no such api"}';
const STARTED = '{"ok":true,"started":true}';
const startedClean = (dry) => `{"ok":true,"started":true,"dryRun":${dry}}`;

const itemText = (id, bytes, files, skipped = 0, errors = []) =>
  `{"id":"${id}","bytes":${bytes},"files":${files},"skipped":${skipped},"errors":${JSON.stringify(errors)}}`;
// An item of /api/result: also the files it leaves to earlier items, and those items.
const resultItemText = (id, bytes, files, skipped = 0, errors = [], shared = 0, sharedWith = []) =>
  `${itemText(id, bytes, files, skipped, errors).slice(0, -1)},"shared":${shared},"sharedWith":${JSON.stringify(sharedWith)}}`;

// The result document with the given items; the free-space values are those
// of the actual document (they depend on the disk), which must be numbers.
function assertResult(text, { kind, dryRun, items }) {
  const m = /,"freeBefore":(\d+),"freeAfter":(\d+)\}$/.exec(text);
  assert.ok(m, `result without numeric free-space values: ${text}`);
  const tb = items.reduce((a, i) => a + BigInt(i[1]), 0n);
  const tf = items.reduce((a, i) => a + BigInt(i[2]), 0n);
  const expected = `{"ok":true,"kind":"${kind}","dryRun":${dryRun},"items":[` +
    items.map((i) => resultItemText(...i)).join(',') +
    `],"totalBytes":${tb},"totalFiles":${tf},"freeBefore":${m[1]},"freeAfter":${m[2]}}`;
  assert.equal(text, expected);
  return { freeBefore: BigInt(m[1]), freeAfter: BigInt(m[2]) };
}

// Splits a details document into its hits, after checking that the text is
// exactly the documented frame around them.
function parseDetail(text, id) {
  const hits = [];
  const re = /\{"p":"((?:[^"\\]|\\.)*)","s":(\d+),"t":(\d+)\}/g;
  let m;
  while ((m = re.exec(text)) !== null) {
    hits.push({ raw: m[0], p: JSON.parse(`"${m[1]}"`), s: BigInt(m[2]), t: BigInt(m[3]) });
  }
  assert.equal(text, `{"ok":true,"id":"${id}","files":[${hits.map((h) => h.raw).join(',')}]}`);
  return hits;
}

// Sends the requests on separate connections so that they reach the server
// at the same moment: everything but the last byte first, then, once every
// connection thread is waiting for it, the last byte of each in one go.
async function race(port, requests) {
  const socks = await Promise.all(requests.map(() => new Promise((resolve, reject) => {
    const s = net.connect({ host: '127.0.0.1', port }, () => resolve(s));
    s.once('error', reject);
  })));
  const answers = socks.map((s) => new Promise((resolve) => {
    const chunks = [];
    s.on('data', (d) => chunks.push(d));
    s.on('error', () => resolve(Buffer.concat(chunks)));
    s.on('close', () => resolve(Buffer.concat(chunks)));
  }));
  requests.forEach((r, i) => socks[i].write(r.slice(0, -1)));
  await sleep(100);
  requests.forEach((r, i) => socks[i].write(r.slice(-1)));
  return (await Promise.all(answers)).map((b) => parseResponse(b));
}

function postRequest(srv, path, body) {
  const b = body === undefined ? '' : body;
  return `POST ${path} HTTP/1.1\r\nHost: 127.0.0.1:${srv.port}\r\n${srv.tokenLine()}\r\n` +
    (body === undefined ? '' : `Content-Type: application/json\r\nContent-Length: ${Buffer.byteLength(b)}\r\n`) +
    `Connection: close\r\n\r\n${b}`;
}

for (const build of builds()) {
  describe(`${build.name} API`, { timeout: 240_000 }, () => {
    const env = windowsEnv(build);
    const planter = new Planter(build);
    let srv;

    // The fixture of the cleaning cycle. Sizes are all different so that a
    // wrong file in a sum shows.
    const W = (...parts) => parts.join('\\');
    const TEMP_ROOT = W(env.TEMP, 'tamsel-bb');
    const LOCAL_ROOT = W(env.LOCALAPPDATA, 'TamselBB');
    const ROAMING_ROOT = W(env.APPDATA, 'TamselBB');
    const DOWNLOADS = W(env.USERPROFILE, 'Downloads');
    const OUTSIDE = 'C:\\tamsel-bb-outside';
    const BT = 'C:\\$WINDOWS.~BT';
    const D3D_ROOT = W(env.LOCALAPPDATA, 'D3DSCache', 'tamsel-bb');
    const D3D_FILES = 2000;
    const selected = {
      'user-temp': [
        [W(TEMP_ROOT, 'a.dat'), 1001],
        [W(TEMP_ROOT, 'sub', 'b.bin'), 2002],
        [W(TEMP_ROOT, 'ro.dat'), 303, { readOnly: true }],
        // Non-ASCII names travel as UTF-8 through every conversion.
        [W(TEMP_ROOT, 'sub', '临时 文件 ü.dat'), 64],
      ],
      'local-tmp-log': [
        [W(LOCAL_ROOT, 'x.tmp'), 111],
        [W(LOCAL_ROOT, 'deep', 'er', 'y.LOG'), 222],
      ],
      'downloads-video': [
        [W(DOWNLOADS, 'tamsel-bb-movie.mp4'), 5005],
        [W(DOWNLOADS, 'tamsel-bb-clip.MKV'), 606],
      ],
      'windows-bt': [
        [W(BT, 'bb', 'f1.bin'), 1111],
        [W(BT, 'f2.bin'), 2222],
      ],
    };
    // Files no selected item may touch: outside every target, excluded by
    // the patterns, below the top level of Downloads, or of other items.
    const bystanders = [
      [W(LOCAL_ROOT, 'keep.txt'), 333],
      [W(ROAMING_ROOT, 'r.tmp'), 444],
      [W(ROAMING_ROOT, 'r.log'), 55],
      [W(DOWNLOADS, 'tamsel-bb-sub', 'deep.mp4'), 707],
      [W(DOWNLOADS, 'tamsel-bb-setup.exe'), 808],
      [W(OUTSIDE, 'linked', 'keep.dat'), 4004],
      [W(OUTSIDE, 'linked', 'keep.tmp'), 505],
    ];
    const LINK = W(TEMP_ROOT, 'sub', 'outside-link');
    const sum = (list) => list.reduce((a, [, s]) => a + s, 0);
    const plantedSelected = () => Object.values(selected).flat().map(([w]) => relKey(build, w)).sort();
    const d3dName = (i) => W(D3D_ROOT, `f${String(i).padStart(4, '0')}.bin`);

    // Which files of a listing the four selected items cover, by their
    // documented targets and patterns: a guard that the drive holds nothing
    // of anyone else's that a real clean here would delete.
    function coveredByCycle(listing) {
      const k = (w) => relKey(build, w).toLowerCase();
      const temp = `${k(env.TEMP)}/`;
      const local = `${k(env.LOCALAPPDATA)}/`;
      const dl = `${k(DOWNLOADS)}/`;
      const bt = [`${k('C:\\$WINDOWS.~BT')}/`, `${k('C:\\$WINDOWS.~WS')}/`];
      const out = [];
      for (const [rel, v] of listing) {
        if (!v.startsWith('file ')) continue;
        const r = rel.toLowerCase();
        const name = r.slice(r.lastIndexOf('/') + 1);
        if (r.startsWith(temp) ||
            (r.startsWith(local) && /\.(tmp|log)$/.test(name)) ||
            (r.startsWith(dl) && !r.slice(dl.length).includes('/') && /\.(mp4|mkv|avi|flv)$/.test(name)) ||
            bt.some((b) => r.startsWith(b))) out.push(rel);
      }
      return out.sort();
    }

    // Waits until the selected items cover exactly `expected` (relative
    // keys) on the whole drive, other programs' files included: under wine
    // the prefix's %TEMP% is shared with concurrently running unit tests,
    // whose short-lived files a real clean here must not delete. Fails if
    // they stay.
    async function awaitOnly(expected, ms = 90_000) {
      const until = Date.now() + ms;
      for (;;) {
        const covered = coveredByCycle(listDrive(build, { all: true }));
        if (JSON.stringify(covered) === JSON.stringify(expected)) return;
        if (Date.now() > until) {
          assert.deepEqual(covered, expected,
            'the drive holds files of someone else that the cleaned items cover; refusing to clean');
        }
        await sleep(500);
      }
    }

    before(async () => {
      // Before planting: nothing of anyone else's is in the way.
      await awaitOnly([]);
      for (const list of Object.values(selected)) for (const [w, s, o] of list) planter.file(w, s, o);
      for (const [w, s] of bystanders) planter.file(w, s);
      planter.link(LINK, W(OUTSIDE, 'linked'));
      planter.dir(D3D_ROOT);
      for (let i = 0; i < D3D_FILES; i++) planter.file(d3dName(i), 10);
      srv = await build.start([]);
      await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
    });

    after(async () => {
      await srv?.stop();
      planter.removeAll();
    });

    test('before any task: status, result and last scan are the empty documents', async () => {
      assert.equal((await srv.get('/api/status')).text, STATUS_IDLE);
      assert.equal((await srv.get('/api/result')).text, RESULT_NONE);
      assert.equal((await srv.get('/api/scanresult')).text, SCANRESULT_NONE);
      // Reading them starts nothing.
      assert.equal((await srv.get('/api/status')).text, STATUS_IDLE);
    });

    test('/api/env: exact shape, drive C: figures of the drive folder', async () => {
      const r = await srv.get('/api/env');
      assert.equal(r.status, 200);
      assert.equal(r.headers['content-type'], 'application/json; charset=utf-8');
      const m = /^\{"ok":true,"admin":(true|false),"version":"1\.0\.2","name":"Tamsel","drive":\{"ok":true,"drive":"C:","total":(\d+),"free":(\d+)\}\}$/.exec(r.text);
      assert.ok(m, `env document: ${r.text}`);
      // Native: the stand-in's administrator is root; wine runs everything
      // as an administrator.
      const admin = build.name === 'native' ? process.geteuid() === 0 : true;
      assert.equal(m[1], String(admin));
      const total = Number(m[2]);
      const free = Number(m[3]);
      const fsStat = fs.statfsSync(build.driveC);
      const hostTotal = fsStat.blocks * fsStat.bsize;
      const hostFree = fsStat.bavail * fsStat.bsize;
      assert.ok(total > 0 && free > 0 && free <= total, `total ${total}, free ${free}`);
      assert.ok(Math.abs(total - hostTotal) <= hostTotal / 1000, `total ${total} vs statfs ${hostTotal}`);
      // Other processes write to the same disk meanwhile.
      assert.ok(Math.abs(free - hostFree) <= 512 * 2 ** 20, `free ${free} vs statfs ${hostFree}`);
    });

    test('/api/rules: the whole catalogue, byte for byte, twice the same', async () => {
      const r1 = await srv.get('/api/rules');
      const r2 = await srv.post('/api/rules', '');
      assert.equal(r1.status, 200);
      assert.equal(r1.headers['content-type'], 'application/json; charset=utf-8');
      assert.deepEqual(r2.bytes, r1.bytes, 'two requests give byte-identical documents');

      // Counts and order first, for a readable failure.
      const doc = r1.json;
      assert.ok(doc, 'rules document parses as JSON');
      assert.deepEqual(doc.categories.map((c) => c.id), CATALOGUE.map((c) => c.id));
      const items = doc.categories.flatMap((c) => c.items);
      assert.equal(items.length, ITEM_COUNT);
      assert.equal(items.reduce((a, i) => a + i.targets.length, 0), TARGET_COUNT);
      assert.deepEqual(items.map((i) => i.id), CATALOGUE.flatMap((c) => c.items.map((i) => i.id)));
      for (const i of items) {
        // An item of Windows' own tools adds how long it takes and whether it can be stopped.
        assert.deepEqual(Object.keys(i), ['id', 'name', 'risk', 'mode', 'desc', 'defaultEnabled', 'allowDetails',
          'targets', ...(i.mode === 'systool' ? ['tool'] : [])], i.id);
      }

      // The first item object, and the two items without targets, exactly:
      // the documented texts raw in a fixed key order.
      const doc1 = (id) => CATALOGUE.flatMap((c) => c.items).find((i) => i.id === id);
      const head = (i) => `{"id":"${i.id}","name":"${i.name}","risk":"${i.risk}","mode":"${i.mode}",` +
        `"desc":"${i.desc}","defaultEnabled":${i.defaultEnabled},"allowDetails":${i.allowDetails},"targets":`;
      const userTemp = `${head(doc1('user-temp'))}[${JSON.stringify(env.TEMP)}]}`;
      assert.ok(r1.text.startsWith(
        `{"ok":true,"categories":[{"id":"temp","name":"${CATALOGUE[0].name}","items":[${userTemp},`),
      `document begins: ${r1.text.slice(0, 400)}`);
      assert.ok(r1.text.includes(`${head(doc1('recycle-bin'))}[]}`));
      assert.ok(r1.text.includes(`${head(doc1('hibernate'))}[]}`));
      // Backslashes of target paths are doubled.
      assert.ok(r1.text.includes(JSON.stringify(`${env.SystemRoot}\\Prefetch`)));
      assert.ok(r1.text.includes(`"${env.SystemRoot.replace(/\\/g, '\\\\')}\\\\Prefetch"`));

      // And the whole document.
      const expected = expectedRulesText(build);
      if (r1.text !== expected) {
        // Point at the first differing item rather than dumping 20 KB.
        const want = JSON.parse(expected).categories.flatMap((c) => c.items);
        for (let i = 0; i < want.length; i++) {
          assert.deepEqual(items[i], want[i], `item ${i + 1} (${want[i].id})`);
        }
        assert.equal(r1.text, expected);
      }
    });

    test('the catalogue properties the interface relies on hold in the served document', async () => {
      const items = (await srv.get('/api/rules')).json.categories.flatMap((c) => c.items);
      for (const i of items) {
        assert.equal(i.defaultEnabled, i.risk === 'low', `${i.id}: pre-selected exactly when low risk`);
        assert.equal(i.risk === 'high', i.mode === 'measure', `${i.id}: high risk exactly when measure-only`);
      }
      assert.deepEqual(items.filter((i) => !i.allowDetails).map((i) => i.id),
        ['asm-native', 'hibernate', 'pagefile', 'winsxs', 'weixin4-data', 'wechat3-data', 'qqnt-data',
          'nuget-packages', 'maven-repository', 'package-cache', 'wsl-docker-disks', 'component-cleanup',
          'reserved-storage', 'compact-os', 'hiber-reduced', 'restore-points', 'old-drivers']);
      // The expansion is that of this build's environment (never a literal
      // reference, apart from none here since every variable is defined).
      for (const i of items) for (const t of i.targets) assert.doesNotMatch(t, /%/, `${i.id}: ${t}`);
      assert.deepEqual(expandedCatalogue(build).flatMap((c) => c.items).map((i) => i.targets),
        items.map((i) => i.targets));
    });

    test('/api/cancel with nothing running answers {"ok":true}', async () => {
      assert.equal((await srv.get('/api/cancel')).text, OK);
      assert.equal((await srv.post('/api/cancel', '')).text, OK);
      assert.equal((await srv.get('/api/status')).text, STATUS_IDLE);
    });

    test('after a cancel, details list nothing from directory targets until the next task', async () => {
      // The cancel flag stays set until a task starts, and directory walks
      // stop at once while it is set.
      assert.equal((await srv.get('/api/detail?id=user-temp')).text,
        '{"ok":true,"id":"user-temp","files":[]}');
      assert.equal((await srv.get('/api/detail?id=d3d-cache&limit=5')).text,
        '{"ok":true,"id":"d3d-cache","files":[]}');
    });

    test('/api/clean with an empty or missing selection refuses and starts nothing', async () => {
      assert.equal((await srv.post('/api/clean', { items: [] })).text, NOTHING_SELECTED);
      assert.equal((await srv.post('/api/clean', { items: [], dryRun: false })).text, NOTHING_SELECTED);
      assert.equal((await srv.post('/api/clean', '')).text, NOTHING_SELECTED);
      assert.equal((await srv.get('/api/clean')).text, NOTHING_SELECTED);
      assert.equal((await srv.post('/api/clean', { dryRun: false })).text, NOTHING_SELECTED);
      assert.equal((await srv.get('/api/status')).text, STATUS_IDLE);
      assert.equal((await srv.get('/api/result')).text, RESULT_NONE);
    });

    test('API paths are matched exactly: /api/Env, /api/env/, /api/envx are 404', async () => {
      for (const p of ['/api/Env', '/api/env/', '/api/envx', '/api/ENV', '/api/rules/', '/api/statu']) {
        const r = await srv.get(p);
        assert.equal(r.status, 404, p);
        assert.equal(r.headers['content-type'], 'application/json; charset=utf-8', p);
        assert.equal(r.text, NO_SUCH_API, p);
      }
      // The query is not part of the path.
      assert.equal((await srv.get('/api/status?x=1')).text, STATUS_IDLE);
    });

    test('POST /api/status answers exactly like GET', async () => {
      const g = await srv.get('/api/status');
      const p = await srv.post('/api/status', '{"x":1}');
      assert.equal(p.status, 200);
      assert.equal(p.text, g.text);
      assert.deepEqual(p.headers['content-type'], g.headers['content-type']);
    });

    test('ids that name no item or repeat still count in total: done stays below it', async () => {
      const r = await srv.post('/api/scan', { items: ['downloads-video', 'no-such-item', 'downloads-video'] });
      assert.equal(r.text, STARTED);
      const st = await waitTask(srv);
      assert.equal(st.total, 3);
      assert.equal(st.done, 1);
      assert.equal(st.files, 2);
      assert.equal(st.bytes, sum(selected['downloads-video']));
      assertResult((await srv.get('/api/result')).text, {
        kind: 'scan', dryRun: false,
        items: [['downloads-video', sum(selected['downloads-video']), 2]],
      });

      // A clean of only unknown ids processes nothing and publishes an empty
      // list (a dry run: the default).
      assert.equal((await srv.post('/api/clean', { items: ['nothing-here', 'nothing-here'] })).text,
        startedClean(true));
      const st2 = await waitTask(srv);
      assert.equal(st2.total, 2);
      assert.equal(st2.done, 0);
      assertResult((await srv.get('/api/result')).text, { kind: 'clean', dryRun: true, items: [] });
    });

    test('two tasks cannot run at once: of three simultaneous starts exactly one runs', async () => {
      // All three walk at least the 2000 planted cache files, so the winner
      // is still running when the other two arrive together with it.
      const port = srv.port;
      const answers = await race(port, [
        postRequest(srv, '/api/scan', '{"items":[]}'),
        postRequest(srv, '/api/scan', undefined),
        postRequest(srv, '/api/clean', '{"items":["d3d-cache"]}'),
      ]);
      const bodies = answers.map((a) => a?.body.toString('utf8'));
      for (const a of answers) assert.equal(a?.status, 200, `answers: ${bodies.join(' | ')}`);
      const started = bodies.filter((b) => b !== BUSY);
      assert.equal(started.length, 1, `exactly one start: ${bodies.join(' | ')}`);
      assert.equal(bodies.filter((b) => b === BUSY).length, 2);
      const winner = bodies.findIndex((b) => b !== BUSY);
      assert.equal(started[0], winner === 2 ? startedClean(true) : STARTED);

      const st = await waitTask(srv);
      if (winner === 2) {
        assert.equal(st.total, 1);
        assert.equal(st.done, 1);
        assert.equal(st.files, D3D_FILES);
      } else {
        // A scan without ids scans the whole catalogue.
        assert.equal(st.total, ITEM_COUNT);
        assert.equal(st.done, ITEM_COUNT);
        const doc = (await srv.get('/api/result')).text;
        const ids = [...doc.matchAll(/\{"id":"([^"]+)"/g)].map((m) => m[1]);
        assert.deepEqual(ids, CATALOGUE.flatMap((c) => c.items.map((i) => i.id)));
        assert.ok(doc.includes(resultItemText('d3d-cache', 10 * D3D_FILES, D3D_FILES)), doc);
        assert.ok(doc.includes(resultItemText('downloads-video', sum(selected['downloads-video']), 2)));
      }
    });

    test('scan → status → result → last scan → details, over the planted files', async () => {
      await awaitOnly(plantedSelected());
      const ids = ['downloads-video', 'windows-bt', 'user-temp', 'local-tmp-log', 'local-tmp-log'];
      const t0 = Date.now();
      assert.equal((await srv.post('/api/scan', { items: ids })).text, STARTED);
      await waitTask(srv);
      const tEnd = Date.now();
      const stText = (await srv.get('/api/status')).text;
      const expectItems = [
        ['user-temp', sum(selected['user-temp']), selected['user-temp'].length],
        ['local-tmp-log', sum(selected['local-tmp-log']), 2],
        ['windows-bt', sum(selected['windows-bt']), 2],
        ['downloads-video', sum(selected['downloads-video']), 2],
      ];
      // Catalogue order, each item once, the linked folder not followed; the
      // windows-bt folder counted once although under wine all four of the
      // item's case variants name it.
      const nums = matchShape(stText.replace(/"cur":"(?:[^"\\]|\\.)*"\}$/, '"cur":""}'),
        '{"ok":true,"busy":false,"finished":true,"phase":"idle","done":#,"total":#,"bytes":#,"files":#,"cur":""}');
      assert.ok(nums, `status: ${stText}`);
      const nFiles = expectItems.reduce((a, i) => a + i[2], 0);
      assert.deepEqual(nums, [4n, 5n, BigInt(expectItems.reduce((a, i) => a + i[1], 0)), BigInt(nFiles)]);
      const res = assertResult((await srv.get('/api/result')).text,
        { kind: 'scan', dryRun: false, items: expectItems });
      assert.equal(res.freeAfter, res.freeBefore, 'a scan reports the same free space before and after');
      assert.ok(res.freeBefore > 0n);

      // The last scan, with its age; errors are never reported here.
      const sr = (await srv.get('/api/scanresult')).text;
      const m = /^\{"ok":true,"kind":"scan","empty":false,"age":(\d+),"items":\[(.*)\],"totalBytes":(\d+),"totalFiles":(\d+),"overlaps":\[\]\}$/.exec(sr);
      assert.ok(m, `scanresult: ${sr}`);
      assert.ok(Number(m[1]) <= Date.now() - t0 + 1000, `age ${m[1]} ms`);
      assert.ok(Number(m[1]) >= 0);
      assert.equal(m[2], expectItems.map((i) => itemText(...i)).join(','));
      assert.equal(m[3], String(expectItems.reduce((a, i) => a + i[1], 0)));
      assert.equal(m[4], String(nFiles));
      await sleep(60);
      const later = /"age":(\d+)/.exec((await srv.get('/api/scanresult')).text);
      assert.ok(Number(later[1]) >= Number(m[1]) + 40, `age grows: ${m[1]} then ${later[1]}`);
      assert.ok(Number(later[1]) <= Date.now() - tEnd + 1000);

      // Details: exactly the planted files with their sizes and times.
      const hits = parseDetail((await srv.get('/api/detail?id=user-temp')).text, 'user-temp');
      assert.deepEqual(hits.map((h) => h.p).sort(), selected['user-temp'].map(([w]) => w).sort());
      for (const h of hits) {
        const f = planter.files.get(h.p);
        assert.equal(h.s, BigInt(f.size), h.p);
        assert.equal(h.t, fileTimeOf(f.host), `${h.p}: FILETIME of its last write`);
      }
      const one = parseDetail((await srv.get('/api/detail?id=user-temp&limit=1')).text, 'user-temp');
      assert.equal(one.length, 1);
      assert.ok(selected['user-temp'].some(([w]) => w === one[0].p));
      const vids = parseDetail((await srv.get('/api/detail?id=downloads-video')).text, 'downloads-video');
      assert.deepEqual(vids.map((h) => h.p).sort(), selected['downloads-video'].map(([w]) => w).sort());
    });

    test('/api/detail: limits, unknown ids and hidden items', async () => {
      const d3d = (q) => srv.get(`/api/detail?id=d3d-cache${q}`).then((r) => parseDetail(r.text, 'd3d-cache'));
      const all = new Set(Array.from({ length: D3D_FILES }, (_, i) => d3dName(i)));
      for (const q of ['', '&limit=0', '&limit=9999', '&limit=-4', '&limit=abc', '&limit=']) {
        const hits = await d3d(q);
        assert.equal(hits.length, 300, `limit query "${q}"`);
        assert.equal(new Set(hits.map((h) => h.p)).size, 300, 'no file twice');
        for (const h of hits) {
          assert.ok(all.has(h.p), h.p);
          assert.equal(h.s, 10n);
        }
      }
      assert.equal((await d3d('&limit=1')).length, 1);
      assert.equal((await d3d('&limit=5000')).length, D3D_FILES);
      assert.equal((await d3d('&limit=1999')).length, 1999);

      assert.equal((await srv.get('/api/detail')).text, NO_SUCH_ITEM);
      assert.equal((await srv.get('/api/detail?limit=3')).text, NO_SUCH_ITEM);
      assert.equal((await srv.get('/api/detail?id=no-such-item')).text, NO_SUCH_ITEM);
      assert.equal((await srv.get('/api/detail?id=USER-TEMP')).text, NO_SUCH_ITEM);
      assert.equal((await srv.get('/api/detail?id=pagefile')).text,
        '{"ok":true,"id":"pagefile","files":[],"hide":true}');
      assert.equal((await srv.get('/api/detail?id=hibernate')).text,
        '{"ok":true,"id":"hibernate","files":[],"hide":true}');
      // The documented files of an item that has none on this drive.
      assert.equal((await srv.get('/api/detail?id=recycle-bin')).text,
        '{"ok":true,"id":"recycle-bin","files":[]}');
    });

    const CYCLE = ['user-temp', 'local-tmp-log', 'windows-bt', 'downloads-video'];
    const dryItems = [
      ['user-temp', sum(selected['user-temp']), selected['user-temp'].length],
      ['local-tmp-log', sum(selected['local-tmp-log']), 2],
      // A whole-directory item counts the files its real clean deletes;
      // under wine its four targets, which differ only in letter case, name
      // the one planted folder, and it is counted once, not four times.
      ['windows-bt', sum(selected['windows-bt']), 2],
      ['downloads-video', sum(selected['downloads-video']), 2],
    ];

    test('a clean without "dryRun" is a dry run and changes nothing on the drive', async () => {
      await awaitOnly(plantedSelected());
      const beforeList = listDrive(build);
      const r = await srv.post('/api/clean', { items: CYCLE, restartExplorer: true });
      assert.equal(r.text, startedClean(true));
      await waitTask(srv);
      const afterList = listDrive(build);
      assert.deepEqual(diffListings(beforeList, afterList), { gone: [], added: [], changed: [] });
      assertResult((await srv.get('/api/result')).text, { kind: 'clean', dryRun: true, items: dryItems });
      // The last scan is kept apart from the last clean.
      assert.match((await srv.get('/api/scanresult')).text, /"kind":"scan","empty":false,/);
    });

    // A clean starts only from one JSON object whose members have their
    // types; anything else is refused with the reason and starts nothing,
    // whatever the body says of "dryRun". The first two bodies once cleaned
    // "user-temp" (the list was taken from the first [...] after "items",
    // wherever it stood), the "false" as a string once made a clean real.
    const refusedBodies = [
      ['{"items":"nothing","skip":["user-temp"]}', ITEMS_NOT_IDS],
      ['{"items":"nothing","skip":["user-temp"],"dryRun":false}', ITEMS_NOT_IDS],
      ['{"dryRun":true,"x":{"items":["user-temp"]}}', NOTHING_SELECTED],
      ['{"dryRun":false,"x":{"items":["user-temp"]}}', NOTHING_SELECTED],
      ['{"list":[{"items":["user-temp"]}],"dryRun":false}', NOTHING_SELECTED],
      ['{"note":"\\"items\\":[\\"user-temp\\"]","dryRun":false}', NOTHING_SELECTED],
      ['{"items":[1,2],"dryRun":false}', ITEMS_NOT_IDS],
      ['{"items":["user-temp",1],"dryRun":false}', ITEMS_NOT_IDS],
      ['{"items":[["user-temp"]],"dryRun":false}', ITEMS_NOT_IDS],
      ['{"items":{"0":"user-temp"},"dryRun":false}', ITEMS_NOT_IDS],
      ['{"items":null,"dryRun":false}', ITEMS_NOT_IDS],
      // A member named twice: which one counts is no guess the program makes.
      ['{"items":[],"items":["user-temp"],"dryRun":false}', NOT_JSON_OBJECT],
      ['{"items":["user-temp"],"dryRun":false,"dryRun":false}', NOT_JSON_OBJECT],
      ['{"items":["user-temp"],"dryRun":true,"dry\\u0052un":false}', NOT_JSON_OBJECT],
      // Not one object.
      ['[{"items":["user-temp"],"dryRun":false}]', NOT_JSON_OBJECT],
      ['["user-temp"]', NOT_JSON_OBJECT],
      ['"user-temp"', NOT_JSON_OBJECT],
      ['{"items":["user-temp"],"dryRun":false', NOT_JSON_OBJECT],
      ['{"items":["user-temp"],"dryRun":false} trailing', NOT_JSON_OBJECT],
      ['{"items":["user-temp",],"dryRun":false}', NOT_JSON_OBJECT],
      // "dryRun" and "restartExplorer" are true or false, nothing else.
      [`{"items":${JSON.stringify(CYCLE)},"dryRun":"true"}`, '{"ok":false,"message":"dryRun 必须是 true 或 false"}'],
      [`{"items":${JSON.stringify(CYCLE)},"dryRun":1}`, '{"ok":false,"message":"dryRun 必须是 true 或 false"}'],
      [`{"dryRun": "false" , "items":${JSON.stringify(CYCLE)}}`, '{"ok":false,"message":"dryRun 必须是 true 或 false"}'],
      ['{"items":["user-temp"],"dryRun":null}', '{"ok":false,"message":"dryRun 必须是 true 或 false"}'],
      ['{"items":["user-temp"],"dryRun":false,"restartExplorer":"yes"}',
        '{"ok":false,"message":"restartExplorer 必须是 true 或 false"}'],
    ];

    test('a body that is not one object, or whose members have the wrong type, cleans nothing', async () => {
      await awaitOnly(plantedSelected());
      const resultBefore = (await srv.get('/api/result')).text;
      const statusBefore = (await srv.get('/api/status')).text;
      const beforeList = listDrive(build);
      for (const [body, answer] of refusedBodies) {
        const r = await srv.post('/api/clean', body, { headers: { 'Content-Type': 'application/json' } });
        assert.equal(r.text, answer, body);
      }
      // The scan reads its body the same way.
      for (const [body, answer] of [
        ['{"items":"user-temp"}', ITEMS_NOT_IDS],
        ['{"items":[1]}', ITEMS_NOT_IDS],
        ['[{"items":["user-temp"]}]', NOT_JSON_OBJECT],
        ['{"items":["user-temp"],"items":["user-temp"]}', NOT_JSON_OBJECT],
      ]) {
        const r = await srv.post('/api/scan', body, { headers: { 'Content-Type': 'application/json' } });
        assert.equal(r.text, answer, body);
      }
      // No task started: the last status and result are those of before.
      assert.equal((await srv.get('/api/status')).text, statusBefore);
      assert.equal((await srv.get('/api/result')).text, resultBefore);
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
    });

    test('a real clean removes exactly the selected files and nothing else', async () => {
      // The selected items cover exactly the planted files (nothing else of
      // anyone's is there to delete).
      await awaitOnly(plantedSelected());
      const beforeList = listDrive(build);
      assert.deepEqual(coveredByCycle(beforeList), plantedSelected());

      const r = await srv.post('/api/clean', { items: CYCLE, dryRun: false });
      assert.equal(r.text, startedClean(false));
      await waitTask(srv);
      const afterList = listDrive(build);

      // Gone: the planted files of the "files" items (their folders stay),
      // and the whole directory of the "dir" item, folder included. The
      // videos in Downloads are the user's own files: they went to the
      // Recycle Bin, which on the native drive is C:\$Recycle.Bin.
      const btKey = relKey(build, BT);
      const expectedGone = [
        ...plantedSelected(),
        btKey, `${btKey}/bb`,
      ].sort();
      const d = diffListings(beforeList, afterList);
      const videos = selected['downloads-video'].map(([, size]) => size).sort();
      if (build.name === 'native') {
        const inBin = d.added.filter((k) => /^\$Recycle\.Bin\/S-1-5-21-\d+\/\$R\d+\.(mp4|MKV)$/.test(k));
        assert.deepEqual(inBin.map((k) => Number(afterList.get(k).split(' ')[1])).sort(), videos);
        assert.ok(d.added.every((k) => k.startsWith('$Recycle.Bin')), d.added.join(' '));
        d.added = [];
        // Emptied again, for the recycle-bin tests below.
        for (const k of inBin) fs.rmSync(path.join(build.driveC, k), { force: true });
      } else {
        const trash = path.join(`${build.prefix}.home`, 'data', 'Trash', 'files');
        const names = fs.readdirSync(trash).filter((n) => /^tamsel-bb-(movie\.mp4|clip\.MKV)(-[0-9a-f]+)?$/.test(n));
        assert.deepEqual(names.map((n) => fs.statSync(path.join(trash, n)).size).sort(), videos);
        for (const n of names) fs.rmSync(path.join(trash, n), { force: true });
      }
      assert.deepEqual(d, { gone: expectedGone, added: [], changed: [] });
      // The link in the temporary folder is still a link, its target intact.
      assert.ok(fs.lstatSync(build.hostPath(LINK)).isSymbolicLink());
      assert.equal(fs.readdirSync(build.hostPath(W(OUTSIDE, 'linked'))).length, 2);

      const res = assertResult((await srv.get('/api/result')).text, {
        kind: 'clean', dryRun: false,
        items: [
          ['user-temp', sum(selected['user-temp']), selected['user-temp'].length],
          ['local-tmp-log', sum(selected['local-tmp-log']), 2],
          ['windows-bt', sum(selected['windows-bt']), 2],
          ['downloads-video', sum(selected['downloads-video']), 2],
        ],
      });
      assert.ok(res.freeBefore > 0n && res.freeAfter > 0n, 'free space before and after are reported');

      // Forget the removed files so that clean-up does not look for them.
      for (const list of Object.values(selected)) for (const [w] of list) planter.files.delete(w);

      // A second real clean finds nothing more to remove.
      const again = listDrive(build);
      assert.equal((await srv.post('/api/clean', { items: CYCLE, dryRun: false })).text, startedClean(false));
      await waitTask(srv);
      assert.deepEqual(diffListings(again, listDrive(build)), { gone: [], added: [], changed: [] });
      assertResult((await srv.get('/api/result')).text, {
        kind: 'clean', dryRun: false,
        items: [['user-temp', 0, 0], ['local-tmp-log', 0, 0], ['windows-bt', 0, 0], ['downloads-video', 0, 0]],
      });
    });

    test('measure-only items are measured in a real clean and nothing of theirs is deleted', async () => {
      const chat = new Planter(build);
      try {
        chat.file('C:\\pagefile.sys', 3 * 2 ** 20);
        chat.file(W(env.USERPROFILE, 'Documents', 'xwechat_files', 'tamsel-bb', 'msg.db'), 999);
        chat.file(W(env.USERPROFILE, 'Documents', 'xwechat_files', 'tamsel-bb', 'media', 'a.jpg'), 1234);
        chat.file(W(env.SystemRoot, 'WinSxS', 'tamsel-bb', 'x.dll'), 4321);
        // What the component store holds on this drive (wine ships a few
        // files there): every file below it, links not followed.
        const sxsKey = `${relKey(build, W(env.SystemRoot, 'WinSxS')).toLowerCase()}/`;
        let sxsBytes = 0;
        let sxsFiles = 0;
        for (const [k, v] of listDrive(build, { all: true })) {
          if (!k.toLowerCase().startsWith(sxsKey) || !v.startsWith('file ')) continue;
          sxsBytes += Number(v.split(' ')[1]);
          sxsFiles += 1;
        }
        const beforeList = listDrive(build);
        assert.equal((await srv.post('/api/clean', { items: ['pagefile', 'winsxs', 'weixin4-data'], dryRun: false })).text,
          startedClean(false));
        await waitTask(srv);
        assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
        assertResult((await srv.get('/api/result')).text, {
          kind: 'clean', dryRun: false,
          items: [['pagefile', 3 * 2 ** 20, 1], ['winsxs', sxsBytes, sxsFiles], ['weixin4-data', 2233, 2]],
        });
      } finally {
        chat.removeAll();
      }
    });

    test('a target reached through a link is refused whole, in a dry run and for real', async () => {
      // "rdp-cache" has a linked folder among its ancestors, "windows-old"
      // is itself a link; behind both lie files of our own that must stay.
      const links = new Planter(build);
      const tsc = W(env.LOCALAPPDATA, 'Microsoft', 'Terminal Server Client');
      const rdpTarget = W(tsc, 'Cache');
      try {
        links.file(W('C:\\tamsel-bb-behind', 'tsc', 'Cache', 'bcache24.bmc'), 2048);
        links.file(W('C:\\tamsel-bb-behind', 'tsc', 'Cache', 'sub', 'x.bin'), 512);
        links.file(W('C:\\tamsel-bb-behind', 'old', 'Windows', 'notepad.exe'), 4096);
        links.link(tsc, W('C:\\tamsel-bb-behind', 'tsc'));
        links.link('C:\\Windows.old', W('C:\\tamsel-bb-behind', 'old'));
        const refused = [
          ['rdp-cache', 0, 0, 1, [`${rdpTarget} : 路径含重解析点(junction/symlink)`]],
          ['windows-old', 0, 0, 1, ['C:\\Windows.old : 路径含重解析点']],
        ];
        for (const dryRun of [true, false]) {
          const beforeList = listDrive(build);
          assert.equal((await srv.post('/api/clean', { items: ['windows-old', 'rdp-cache'], dryRun })).text,
            startedClean(dryRun));
          await waitTask(srv);
          assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] },
            `dryRun ${dryRun}`);
          assertResult((await srv.get('/api/result')).text, { kind: 'clean', dryRun, items: refused });
        }
      } finally {
        links.removeAll();
      }
    });

    test('the recycle bin: its endpoint reports it, the item always scans as zeros', async () => {
      const bin = new Planter(build);
      try {
        if (build.name === 'native') {
          // The stand-in's recycle bin is a folder on the drive, each file
          // below it one item.
          bin.file('C:\\$Recycle.Bin\\S-1-5-21-tamsel-bb\\$R0001.txt', 700);
          bin.file('C:\\$Recycle.Bin\\S-1-5-21-tamsel-bb\\$I0001.txt', 44);
          assert.equal((await srv.get('/api/recycle')).text,
            '{"ok":true,"recycle":{"ok":true,"items":2,"bytes":744}}');
        } else {
          // Wine's bin is the shared Trash of the prefix: its shape only.
          assert.match((await srv.get('/api/recycle')).text,
            /^\{"ok":true,"recycle":\{"ok":true,"items":\d+,"bytes":\d+\}\}$/);
        }
        assert.equal((await srv.post('/api/scan', { items: ['recycle-bin'] })).text, STARTED);
        await waitTask(srv);
        assertResult((await srv.get('/api/result')).text,
          { kind: 'scan', dryRun: false, items: [['recycle-bin', 0, 0]] });
      } finally {
        bin.removeAll();
      }
    });

    test('the hibernation item: measured in a scan, switched off for real only in a real clean', async () => {
      const HIBER = 'C:\\hiberfil.sys';
      const size = 8 * 2 ** 20 + 4096;
      const host = planter.file(HIBER, size);
      try {
        assert.equal((await srv.post('/api/scan', { items: ['hibernate'] })).text, STARTED);
        await waitTask(srv);
        assertResult((await srv.get('/api/result')).text,
          { kind: 'scan', dryRun: false, items: [['hibernate', size, 1]] });

        let beforeList = listDrive(build);
        assert.equal((await srv.post('/api/clean', { items: ['hibernate'] })).text, startedClean(true));
        await waitTask(srv);
        assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
        assertResult((await srv.get('/api/result')).text,
          { kind: 'clean', dryRun: true, items: [['hibernate', size, 1]] });

        beforeList = listDrive(build);
        assert.equal((await srv.post('/api/clean', { items: ['hibernate'], dryRun: false })).text,
          startedClean(false));
        await waitTask(srv);
        const d = diffListings(beforeList, listDrive(build));
        const doc = (await srv.get('/api/result')).text;
        if (build.name === 'native') {
          // The stand-in's powercfg removes the file; hibernation is left
          // off, so the file does not come back, and what left the disk is
          // reported.
          assert.deepEqual(d, { gone: [relKey(build, HIBER)], added: [], changed: [] });
          assertResult(doc, { kind: 'clean', dryRun: false, items: [['hibernate', size, 1]] });
          planter.files.delete(HIBER);
        } else {
          // Wine has no powercfg.exe: the switch fails, nothing is removed
          // and nothing is claimed.
          assert.deepEqual(d, { gone: [], added: [], changed: [] });
          assertResult(doc, {
            kind: 'clean', dryRun: false,
            items: [['hibernate', 0, 0, 1, ['关闭休眠失败（需要管理员权限）']]],
          });
        }
      } finally {
        try { fs.rmSync(host, { force: true }); } catch { /* removed by the clean */ }
      }
    });

    test('after the cycle the status reports the last task and stays consistent', async () => {
      const g = await srv.get('/api/status');
      const p = await srv.post('/api/status', '');
      assert.equal(p.text, g.text);
      assert.match(g.text, /^\{"ok":true,"busy":false,"finished":true,"phase":"idle","done":1,"total":1,/);
      assert.equal(srv.exited(), null, 'the server is still running');
    });
  });
}
