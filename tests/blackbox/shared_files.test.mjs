// Files that two selected items both take, through the real program in both
// builds: the scan counts each item as if it were alone and names the shared
// files in "overlaps"; a dry run and a real clean count and delete each file
// once, by the first item in catalogue order, and the later item says how
// many it left to which ("shared", "sharedWith"). Every clean is checked
// against a listing of the whole drive before and after.
//
// The pair is user-temp (%TEMP%) and local-tmp-log (%LOCALAPPDATA%\*.tmp)
// where %TEMP% lies inside %LOCALAPPDATA%, as on Windows and the native
// stand-in. A wine prefix keeps %TEMP% directly in the profile, so there the
// pair is d3d-cache (%LOCALAPPDATA%\D3DSCache) and local-tmp-log, which
// nest the same way.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { builds } from './harness.mjs';
import { windowsEnv, Planter, listDrive, diffListings, relKey, waitTask } from './fixtures.mjs';

const W = (...parts) => parts.join('\\');

for (const build of builds()) {
  describe(`${build.name} files two items share`, { timeout: 240_000 }, () => {
    const env = windowsEnv(build);
    const native = build.name === 'native';
    const first = native ? 'user-temp' : 'd3d-cache';
    const FIRST_DIR = native ? W(env.TEMP, 'tamsel-bb-shared') : W(env.LOCALAPPDATA, 'D3DSCache', 'tamsel-bb-shared');
    const LOCAL_DIR = W(env.LOCALAPPDATA, 'TamselBBShared');
    const planter = new Planter(build);
    let srv;
    // Sizes differ so that a wrong file in a sum shows.
    const shared = [[W(FIRST_DIR, 's.tmp'), 777], [W(FIRST_DIR, 'sub', 'S2.TMP'), 70]];
    const firstOnly = [[W(FIRST_DIR, 'only.dat'), 55]];
    const localOnly = [[W(LOCAL_DIR, 'l.tmp'), 99]];
    const sum = (list) => list.reduce((a, [, s]) => a + s, 0);
    const ids = ['local-tmp-log', first];  // asked out of order: catalogue order counts

    before(async () => {
      if (!native) console.log(`# ${build.name}: %TEMP% lies outside %LOCALAPPDATA% in a wine prefix; the pair is d3d-cache and local-tmp-log`);
      for (const [w, s] of [...shared, ...firstOnly, ...localOnly]) planter.file(w, s);
      srv = await build.start([]);
      await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
    });

    after(async () => {
      await srv?.stop();
      planter.removeAll();
    });

    // The items of a document by id, with only our files in play: a wine
    // prefix's application data may hold other *.tmp and *.log files, whose
    // figures are those of the other item's own.
    const byId = (doc) => Object.fromEntries(doc.items.map((i) => [i.id, i]));

    test('the scan counts each item whole and names the files they share once', async () => {
      await srv.post('/api/scan', { items: ids });
      await waitTask(srv);
      const doc = (await srv.get('/api/scanresult')).json;
      const items = byId(doc);
      assert.deepEqual(Object.keys(doc).slice(-1), ['overlaps']);
      assert.equal(items[first].files, shared.length + firstOnly.length);
      assert.equal(items[first].bytes, sum(shared) + sum(firstOnly));
      assert.ok(items['local-tmp-log'].files >= shared.length + localOnly.length);
      const ov = doc.overlaps.find((o) => o.items.join() === (native ? 'user-temp,local-tmp-log' : 'local-tmp-log,d3d-cache'));
      assert.ok(ov, JSON.stringify(doc.overlaps));
      assert.deepEqual([ov.files, ov.bytes], [shared.length, sum(shared)]);
      // Each file once in the totals.
      const itemsSum = doc.items.reduce((a, i) => a + i.bytes, 0);
      const overlapSum = doc.overlaps.reduce((a, o) => a + (o.items.length - 1) * o.bytes, 0);
      assert.equal(doc.totalBytes, itemsSum - overlapSum);
      assert.ok(!('shared' in items[first]), 'the scan\'s items keep their shape');
    });

    test('a dry run and a real clean take a shared file once, by the first item', async () => {
      // Catalogue order: user-temp before local-tmp-log; local-tmp-log
      // before d3d-cache.
      const [early, late] = native ? ['user-temp', 'local-tmp-log'] : ['local-tmp-log', 'd3d-cache'];
      const expectRun = (doc, what) => {
        const items = byId(doc);
        assert.deepEqual(doc.items.map((i) => i.id), [early, late], what);
        assert.deepEqual(Object.keys(items[late]),
          ['id', 'bytes', 'files', 'skipped', 'errors', 'shared', 'sharedWith'], what);
        assert.equal(items[late].shared, shared.length, what);
        assert.deepEqual(items[late].sharedWith, [early], what);
        assert.equal(items[early].shared, 0, what);
        assert.deepEqual(items[early].sharedWith, [], what);
        assert.equal(items[first].files, (early === first ? shared.length : 0) + firstOnly.length, what);
        assert.equal(doc.totalBytes, doc.items.reduce((a, i) => a + i.bytes, 0), what);
      };
      const beforeList = listDrive(build);
      await srv.post('/api/clean', { items: ids, dryRun: true });
      await waitTask(srv);
      const dry = (await srv.get('/api/result')).json;
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
      expectRun(dry, 'dry run');
      if (!native) {
        // The prefix's application data is shared with the unit tests
        // running meanwhile, whose *.tmp files local-tmp-log would take.
        console.log(`# ${build.name}: no real clean of local-tmp-log in the shared wine prefix; the dry run above decides every file as the clean does`);
        return;
      }
      await srv.post('/api/clean', { items: ids, dryRun: false });
      await waitTask(srv);
      const real = (await srv.get('/api/result')).json;
      expectRun(real, 'real clean');
      for (const i of real.items) {
        const d = dry.items.find((x) => x.id === i.id);
        assert.deepEqual([i.bytes, i.files, i.skipped, i.shared], [d.bytes, d.files, d.skipped, d.shared], i.id);
      }
      const gone = [...shared, ...firstOnly, ...localOnly].map(([w]) => relKey(build, w)).sort();
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone, added: [], changed: [] });
      for (const [w] of [...shared, ...firstOnly, ...localOnly]) planter.files.delete(w);
    });
  });
}
