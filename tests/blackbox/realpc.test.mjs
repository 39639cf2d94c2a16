// What a real PC holds that a cleaner must not get wrong, through the real
// program and its API in both builds: application databases whose write-ahead
// logs look like the logs the sweeps take, trees deeper than 260 characters,
// and request bodies that must not turn a dry run into a real clean. Every
// clean is checked against a listing of the whole drive before and after.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { builds } from './harness.mjs';
import { windowsEnv, Planter, listDrive, diffListings, relKey, waitTask, sleep } from './fixtures.mjs';

const startedClean = (dry) => `{"ok":true,"started":true,"dryRun":${dry}}`;
// An item of /api/result, sharing nothing with an earlier item.
const itemText = (id, bytes, files, skipped = 0, errors = []) =>
  `{"id":"${id}","bytes":${bytes},"files":${files},"skipped":${skipped},"errors":${JSON.stringify(errors)},` +
  '"shared":0,"sharedWith":[]}';

// The items of a result document, in order, as their exact texts.
function resultItems(text) {
  const m = /^\{"ok":true,"kind":"(scan|clean)","dryRun":(true|false),"items":\[(.*)\],"totalBytes":\d+,"totalFiles":\d+,"freeBefore":\d+,"freeAfter":\d+\}$/.exec(text);
  assert.ok(m, `result document: ${text}`);
  return { kind: m[1], dryRun: m[2] === 'true', items: m[3] };
}

for (const build of builds()) {
  describe(`${build.name} real-PC hazards`, { timeout: 240_000 }, () => {
    const env = windowsEnv(build);
    const W = (...parts) => parts.join('\\');
    const planter = new Planter(build);
    let srv;

    // Databases in both application-data roots, beside ordinary logs and
    // temporary files that the sweeps do take. Sizes differ so that a wrong
    // file in a sum shows.
    const CHROME = W(env.LOCALAPPDATA, 'Google', 'Chrome', 'User Data', 'Default');
    const LEVELDB = W(CHROME, 'Local Storage', 'leveldb');
    const WEBCACHE = W(env.LOCALAPPDATA, 'Microsoft', 'Windows', 'WebCache');
    const ELECTRON = W(env.APPDATA, 'TamselBB Chat');
    const kept = [
      [W(LEVELDB, '000003.log'), 1001],
      [W(LEVELDB, 'CURRENT'), 16],
      [W(LEVELDB, 'MANIFEST-000001'), 41],
      [W(LEVELDB, '000004.ldb'), 2002],
      [W(CHROME, 'Local Extension Settings', 'abcdefgh', '000009.LOG'), 303],
      [W(CHROME, 'Local Extension Settings', 'abcdefgh', 'current'), 17],
      [W(WEBCACHE, 'V01.log'), 4004],
      [W(WEBCACHE, 'V01.chk'), 8192],
      [W(WEBCACHE, 'V01tmp.log'), 505],
      [W(WEBCACHE, 'WebCacheV01.dat'), 6006],
      [W(ELECTRON, 'IndexedDB', 'https_app_0.indexeddb.leveldb', '000007.log'), 707],
      [W(ELECTRON, 'IndexedDB', 'https_app_0.indexeddb.leveldb', 'MANIFEST-000002'), 52],
      [W(ELECTRON, 'Session Storage', '000011.log'), 808],
      [W(ELECTRON, 'Session Storage', 'CURRENT'), 18],
      [W(ELECTRON, 'ese', 'edb.log'), 909],
      [W(ELECTRON, 'ese', 'res1.jrs'), 1024],
    ];
    const taken = {
      'local-tmp-log': [
        [W(env.LOCALAPPDATA, 'TamselBB App', 'logs', 'app.log'), 111],
        [W(env.LOCALAPPDATA, 'TamselBB App', 'x.tmp'), 222],
        // Directly below a database folder is not in it.
        [W(LEVELDB, 'archive', 'old.log'), 333],
      ],
      'roaming-tmp-log': [
        [W(ELECTRON, 'logs', 'main.log'), 444],
        [W(ELECTRON, 'crash.TMP'), 555],
      ],
    };
    const SWEEPS = ['local-tmp-log', 'roaming-tmp-log'];
    const sum = (list) => list.reduce((a, [, s]) => a + s, 0);

    // A node_modules left in %TEMP%, deeper than 260 characters.
    const DEEP_ROOT = W(env.TEMP, 'tamsel-bb-deep');
    let deepDir = W(DEEP_ROOT, 'node_modules');
    for (let i = 0; i < 14; i++) deepDir = W(deepDir, `package-${i}-with-a-long-name`, 'node_modules');
    const deepFiles = [
      [W(DEEP_ROOT, 'node_modules', 'index.js'), 61],
      [W(deepDir, 'index.js'), 62],
      [W(deepDir, 'lib', 'a.js'), 63],
    ];

    // Which files of a listing the sweeps cover by their documented patterns,
    // databases aside: a guard that the drive holds nothing of anyone else's
    // that a real clean here would take.
    function coveredBySweeps(listing) {
      const roots = [env.LOCALAPPDATA, env.APPDATA].map((r) => `${relKey(build, r).toLowerCase()}/`);
      const out = [];
      for (const [rel, v] of listing) {
        if (!v.startsWith('file ')) continue;
        const r = rel.toLowerCase();
        if (roots.some((root) => r.startsWith(root)) && /\.(tmp|log)$/.test(r)) out.push(rel);
      }
      return out.sort();
    }
    const ours = () => [...kept, ...Object.values(taken).flat()]
      .map(([w]) => relKey(build, w)).filter((k) => /\.(tmp|log)$/i.test(k)).sort();
    function coveredByTemp(listing) {
      const temp = `${relKey(build, env.TEMP).toLowerCase()}/`;
      return [...listing].filter(([k, v]) => v.startsWith('file ') && k.toLowerCase().startsWith(temp))
        .map(([k]) => k).sort();
    }
    const oursInTemp = () => deepFiles.map(([w]) => relKey(build, w)).sort();

    async function awaitOnly(covered, expected, ms = 90_000) {
      const until = Date.now() + ms;
      for (;;) {
        const now = covered(listDrive(build, { all: true }));
        if (JSON.stringify(now) === JSON.stringify(expected)) return;
        if (Date.now() > until) {
          assert.deepEqual(now, expected, 'the drive holds files of someone else that these items cover');
        }
        await sleep(500);
      }
    }

    before(async () => {
      await awaitOnly(coveredBySweeps, []);
      await awaitOnly(coveredByTemp, []);
      for (const [w, s] of [...kept, ...Object.values(taken).flat(), ...deepFiles]) planter.file(w, s);
      srv = await build.start([]);
      await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
    });

    after(async () => {
      await srv?.stop();
      planter.removeAll();
    });

    test('the sweeps leave databases alone: scan, details, dry run and clean agree', async () => {
      await awaitOnly(coveredBySweeps, ours());
      const expected = SWEEPS.map((id) => itemText(id, sum(taken[id]), taken[id].length)).join(',');

      assert.equal((await srv.post('/api/scan', { items: SWEEPS })).text, '{"ok":true,"started":true}');
      await waitTask(srv);
      const scan = resultItems((await srv.get('/api/result')).text);
      assert.equal(scan.items, expected);
      for (const id of SWEEPS) {
        const d = (await srv.get(`/api/detail?id=${id}`)).json;
        assert.deepEqual(d.files.map((f) => f.p).sort(), taken[id].map(([w]) => w).sort(), id);
      }

      const beforeDry = listDrive(build);
      assert.equal((await srv.post('/api/clean', { items: SWEEPS, dryRun: true })).text, startedClean(true));
      await waitTask(srv);
      assert.deepEqual(diffListings(beforeDry, listDrive(build)), { gone: [], added: [], changed: [] });
      assert.equal(resultItems((await srv.get('/api/result')).text).items, expected);

      const beforeReal = listDrive(build);
      assert.equal((await srv.post('/api/clean', { items: SWEEPS, dryRun: false })).text, startedClean(false));
      await waitTask(srv);
      const real = resultItems((await srv.get('/api/result')).text);
      assert.equal(real.dryRun, false);
      assert.equal(real.items, expected);
      const gone = Object.values(taken).flat().map(([w]) => relKey(build, w)).sort();
      assert.deepEqual(diffListings(beforeReal, listDrive(build)), { gone, added: [], changed: [] });
      for (const list of Object.values(taken)) for (const [w] of list) planter.files.delete(w);
    });

    test('an item that names the cache folder itself still empties its database', async () => {
      const beforeList = listDrive(build);
      assert.equal((await srv.post('/api/clean', { items: ['inetcache'], dryRun: false })).text,
        startedClean(false));
      await waitTask(srv);
      const webcache = kept.filter(([w]) => w.startsWith(WEBCACHE));
      assert.equal(resultItems((await srv.get('/api/result')).text).items,
        itemText('inetcache', sum(webcache), webcache.length));
      assert.deepEqual(diffListings(beforeList, listDrive(build)),
        { gone: webcache.map(([w]) => relKey(build, w)).sort(), added: [], changed: [] });
    });

    test('bodies that are not a top-level "dryRun": false stay dry runs or start nothing', async () => {
      await awaitOnly(coveredByTemp, oursInTemp());
      const items = JSON.stringify(['user-temp']);
      const dryItem = itemText('user-temp', sum(deepFiles), deepFiles.length);
      // The flag left out: a dry run.
      for (const body of [
        `{"items":${items},"x":{"dryRun":false}}`,
        `{"items":${items},"opts":[{"dryRun":false}]}`,
        `{"items":${items},"note":"\\"dryRun\\":false"}`,
        `{"items":${items},"dryRunX":false}`,
      ]) {
        const beforeList = listDrive(build);
        const r = await srv.post('/api/clean', body, { headers: { 'Content-Type': 'application/json' } });
        assert.equal(r.text, startedClean(true), body);
        await waitTask(srv);
        assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] }, body);
        const res = resultItems((await srv.get('/api/result')).text);
        assert.equal(res.dryRun, true, body);
        assert.equal(res.items, dryItem, body);
      }
      // The flag of another type, named twice, or no one object: refused,
      // and no task starts.
      const wrongType = '{"ok":false,"message":"dryRun 必须是 true 或 false"}';
      const notObject = '{"ok":false,"message":"请求不是有效的 JSON 对象"}';
      const resultBefore = (await srv.get('/api/result')).text;
      const beforeList = listDrive(build);
      for (const [body, answer] of [
        [`{"items":${items},"dryRun":1,"x":false}`, wrongType],
        [`{"items":${items},"dryRun":"yes","a":false}`, wrongType],
        [`{"items":${items},"dryRun":"false"}`, wrongType],
        [`{"items":${items},"dryRun":null}`, wrongType],
        [`{"items":${items},"dryRun":false,"dryRun":true}`, notObject],
        [`{"items":${items},"dryRun":false`, notObject],
        [`{"items":${items},"dryRun":false} trailing`, notObject],
      ]) {
        const r = await srv.post('/api/clean', body, { headers: { 'Content-Type': 'application/json' } });
        assert.equal(r.text, answer, body);
      }
      assert.equal((await srv.get('/api/result')).text, resultBefore);
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
    });

    test('a tree deeper than 260 characters is cleaned whole, with white space around "false"', async () => {
      await awaitOnly(coveredByTemp, oursInTemp());
      assert.ok(deepDir.length > 300, `${deepDir.length} characters`);
      const beforeList = listDrive(build);
      const body = `{ "items" : ["user-temp"] ,\n\t"dryRun" :\r\n false }`;
      const r = await srv.post('/api/clean', body, { headers: { 'Content-Type': 'application/json' } });
      assert.equal(r.text, startedClean(false));
      await waitTask(srv);
      assert.equal(resultItems((await srv.get('/api/result')).text).items,
        itemText('user-temp', sum(deepFiles), deepFiles.length));
      // The files go, every folder of the chain stays ("user-temp" takes files).
      assert.deepEqual(diffListings(beforeList, listDrive(build)),
        { gone: oursInTemp(), added: [], changed: [] });
      for (const [w] of deepFiles) planter.files.delete(w);
    });
  });
}
