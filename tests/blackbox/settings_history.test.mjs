// The settings file and the records of cleans through the real program, for
// every build found: the settings round trip over a restart, what start-up
// does with bad settings files, the options of a clean (skip list, age,
// protected paths) and their refusals, the history documents, and a clean
// killed halfway that still leaves a record of what it did.
//
// Under wine the settings file lives in the shared prefix: it is saved
// before and put back afterwards.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { builds } from './harness.mjs';
import { windowsEnv, Planter, listDrive, diffListings, relKey, waitTask, sleep } from './fixtures.mjs';

const W = (...parts) => parts.join('\\');
const READY = /\[ok\] 关闭本窗口即退出程序\n/;
const DEFAULT_SELECTED = ['user-temp', 'local-tmp-log', 'roaming-tmp-log', 'recent-lnk',
  'chrome-cache', 'edge-cache', 'explorer-cache', 'prefetch', 'font-cache', 'd3d-cache',
  'inetcache', 'rdp-cache', 'cryptnet-cache', 'chrome360-cache', 'se360-cache', 'qqbrowser-cache',
  'brave-cache', 'firefox-cache', 'nvidia-shader-cache', 'amd-shader-cache', 'intel-shader-cache',
  'sys-dmp', 'qq-temp', 'qqlive-log', 'baidu-log', '360-log', 'steam-htmlcache'];
// The automatic clean runs the recommended items (all of them low risk, none
// of the user's own files), files at least a day old.
const DEFAULTS = JSON.stringify({
  version: 1, selected: DEFAULT_SELECTED, olderThanDays: 0, restartExplorer: false, protect: [],
  excluded: [], autoItems: DEFAULT_SELECTED, autoOlderThanDays: 1,
});
const DAY_MS = 86_400_000;

for (const build of builds()) {
  describe(`${build.name} settings and records`, () => {
    const env = windowsEnv(build);
    const stateHost = build.hostPath(W(env.LOCALAPPDATA, 'tamsel'));
    const settingsHost = path.join(stateHost, 'settings.json');
    const badHost = `${settingsHost}.bad`;
    const historyHost = path.join(stateHost, 'history');
    const DOWNLOADS = W(env.USERPROFILE, 'Downloads');
    const BT = 'C:\\$WINDOWS.~BT';
    let saved = null;
    let srv = null;

    const start = async () => {
      srv = await build.start([]);
      await srv.waitFor(READY, 15_000);
      return srv;
    };
    const stop = async () => { await srv?.stop(); srv = null; };
    const records = () => (fs.existsSync(historyHost) ? fs.readdirSync(historyHost) : []);

    before(() => {
      fs.mkdirSync(stateHost, { recursive: true });
      saved = fs.existsSync(settingsHost) ? fs.readFileSync(settingsHost) : null;
      fs.rmSync(settingsHost, { force: true });
      fs.rmSync(badHost, { force: true });
    });

    after(async () => {
      await stop();
      fs.rmSync(settingsHost, { force: true });
      fs.rmSync(badHost, { force: true });
      if (saved !== null) fs.writeFileSync(settingsHost, saved);
    });

    test('no settings file: the defaults without a warning, and a round trip over a restart', async () => {
      await start();
      assert.doesNotMatch(srv.stdout(), /\[warn\]/);
      assert.equal((await srv.get('/api/settings')).text, `{"ok":true,"settings":${DEFAULTS}}`);
      // Files left out: normalised as protected paths, the same pair twice
      // (in any case) once, the object form written as a pair; the
      // automatic clean's items in catalogue order.
      const mine = {
        version: 1, selected: ['nope', 'downloads-video', 'user-temp'], olderThanDays: 7,
        restartExplorer: true, protect: [W(env.USERPROFILE, 'Keep') + '\\', 'c:\\Data\\x.txt'],
        excluded: [['downloads-video', 'c:\\Data\\v.mp4\\'], { item: 'user-temp', path: 'C:\\Data\\t.tmp' },
          ['downloads-video', 'C:\\DATA\\V.MP4']],
        autoItems: ['local-tmp-log', 'user-temp'], autoOlderThanDays: 0,
      };
      const storedDoc = {
        version: 1, selected: ['user-temp', 'downloads-video'], olderThanDays: 7,
        restartExplorer: true, protect: [W(env.USERPROFILE, 'Keep'), 'C:\\Data\\x.txt'],
        excluded: [['downloads-video', 'C:\\Data\\v.mp4'], ['user-temp', 'C:\\Data\\t.tmp']],
        autoItems: ['user-temp', 'local-tmp-log'], autoOlderThanDays: 0,
      };
      const stored = JSON.stringify(storedDoc);
      assert.equal((await srv.post('/api/settings', mine)).text, `{"ok":true,"settings":${stored}}`);
      assert.equal(fs.readFileSync(settingsHost, 'utf8'), stored);
      assert.deepEqual(fs.readdirSync(stateHost).filter((n) => n.startsWith('settings')), ['settings.json']);
      await stop();
      await start();
      assert.doesNotMatch(srv.stdout(), /\[warn\]/);
      // The files left out are gone (they never were): forgotten at start,
      // and the file saved without them.
      const kept = JSON.stringify({ ...storedDoc, excluded: [] });
      assert.equal((await srv.get('/api/settings')).text, `{"ok":true,"settings":${kept}}`);
      assert.equal(fs.readFileSync(settingsHost, 'utf8'), kept);
      await stop();
    });

    test('bad settings bodies are refused and change nothing', async () => {
      await start();
      const before = fs.readFileSync(settingsHost, 'utf8');
      const bad = [
        ['{"version":1,"protect":["Keep"]}', '不清理的路径必须是 C:\\\\ 开头的完整路径'],
        ['{"version":1,"olderThanDays":"7"}', 'olderThanDays 必须是 0 到 3650 的整数'],
        ['{"version":1,"olderThanDays":3651}', 'olderThanDays 必须是 0 到 3650 的整数'],
        ['{"version":1,"restartExplorer":1}', 'restartExplorer 必须是 true 或 false'],
        ['{"version":2}', '设置的版本不是 1'],
        ['{"version":1,', '设置不是有效的 JSON 对象'],
        [JSON.stringify({ version: 1, protect: Array.from({ length: 1001 }, (_, i) => `C:\\p${i}`) }),
          '不清理的路径最多 1000 个'],
        // The files left out and the automatic clean: the wrong type, out
        // of range, unknown ids, items the automatic clean may not run, too many.
        ['{"version":1,"excluded":{}}', 'excluded 必须是 [项目, 路径] 的数组'],
        ['{"version":1,"excluded":[["user-temp","x.tmp"]]}', 'excluded 中有 1 项不是 [项目, C:\\\\ 开头的完整路径]'],
        ['{"version":1,"excluded":[["user-temp"]]}', 'excluded 中有 1 项不是 [项目, C:\\\\ 开头的完整路径]'],
        ['{"version":1,"excluded":[["nope","C:\\\\x.tmp"]]}', 'excluded 中有 1 项属于未知的清理项'],
        [JSON.stringify({ version: 1, excluded: Array.from({ length: 100001 }, (_, i) => ['user-temp', `C:\\t\\${i}`]) }),
          'excluded 最多 100000 个文件'],
        ['{"version":1,"autoItems":"user-temp"}', 'autoItems 必须是清理项 ID 的数组'],
        ['{"version":1,"autoItems":["user-temp","nope"]}', 'autoItems 中有未知的清理项：nope'],
        ['{"version":1,"autoItems":["downloads-installer"]}', '自动清理不能包含「下载目录里的安装包」（downloads-installer）'],
        ['{"version":1,"autoItems":["pagefile"]}', '自动清理不能包含「分页文件(仅统计)」（pagefile）'],
        ['{"version":1,"autoOlderThanDays":3651}', 'autoOlderThanDays 必须是 0 到 3650 的整数'],
        ['{"version":1,"autoOlderThanDays":-1}', 'autoOlderThanDays 必须是 0 到 3650 的整数'],
        ['{"version":1,"autoOlderThanDays":"1"}', 'autoOlderThanDays 必须是 0 到 3650 的整数'],
      ];
      const memory = (await srv.get('/api/settings')).text;
      for (const [body, message] of bad) {
        const r = await srv.post('/api/settings', body);
        assert.equal(r.text, `{"ok":false,"message":"${message}"}`, body.slice(0, 60));
      }
      // The largest body the program reads is a settings document with
      // 100,000 files left out (16 MiB); a larger one is refused unread.
      const huge = await srv.post('/api/settings', JSON.stringify({ version: 1, selected: ['x'.repeat(16 << 20)] }));
      assert.equal(huge.status, 413);
      assert.equal(fs.readFileSync(settingsHost, 'utf8'), before);
      assert.equal((await srv.get('/api/settings')).text, memory);
      await stop();
    });

    test('a settings file whose files left out or automatic clean are wrong: what is valid is kept, a [warn] line names the rest', async () => {
      const keepDir = W(env.USERPROFILE, 'tamsel-bb-keep');
      const here = W(keepDir, 'here.tmp');
      fs.mkdirSync(build.hostPath(keepDir), { recursive: true });
      fs.writeFileSync(build.hostPath(here), 'x');
      const earlier = fs.readFileSync(settingsHost);
      try {
        const text = JSON.stringify({
          version: 1, selected: ['user-temp'], olderThanDays: 7, restartExplorer: false, protect: [],
          excluded: [['user-temp', here], ['user-temp', 'relative.tmp'], ['nope', here]],
          autoItems: ['downloads-installer', 'user-temp', 'nope'], autoOlderThanDays: 9999,
        });
        fs.writeFileSync(settingsHost, text);
        await start();
        assert.match(srv.stdout(), /\[warn\] 设置文件 .*settings\.json 中有无法使用的内容，已忽略：excluded 中有 1 项不是 \[项目, C:\\ 开头的完整路径\]；excluded 中有 1 项属于未知的清理项；自动清理不能包含「下载目录里的安装包」（downloads-installer）；autoItems 中有未知的清理项：nope；autoOlderThanDays 必须是 0 到 3650 的整数\n/);
        assert.equal((await srv.get('/api/settings')).text, `{"ok":true,"settings":${JSON.stringify({
          version: 1, selected: ['user-temp'], olderThanDays: 7, restartExplorer: false, protect: [],
          excluded: [['user-temp', here]], autoItems: ['user-temp'], autoOlderThanDays: 1,
        })}}`);
        await stop();
        assert.equal(fs.readFileSync(settingsHost, 'utf8'), text, 'the file is left as it is');
        assert.ok(!fs.existsSync(badHost));
      } finally {
        await stop();
        fs.rmSync(build.hostPath(keepDir), { recursive: true, force: true });
        fs.writeFileSync(settingsHost, earlier);
      }
    });

    test('bad settings files: defaults, a [warn] line, unreadable ones renamed to .bad', async () => {
      const good = fs.readFileSync(settingsHost, 'utf8');
      const cases = [
        ['empty', '', true],
        ['truncated', good.slice(0, 20), true],
        ['not JSON', 'version = 1', true],
        ['over 16 MiB', `{"version":1,"selected":["${'a'.repeat(16 << 20)}"]}`, true],
        ['another version', '{"version":2,"selected":[]}', false],
      ];
      for (const [what, bytes, renamed] of cases) {
        fs.writeFileSync(settingsHost, bytes);
        fs.rmSync(badHost, { force: true });
        await start();
        assert.match(srv.stdout(), /\[warn\] 设置文件 .*settings\.json .*使用默认设置/, what);
        assert.equal((await srv.get('/api/settings')).text, `{"ok":true,"settings":${DEFAULTS}}`, what);
        await stop();
        if (renamed) {
          assert.ok(!fs.existsSync(settingsHost), what);
          assert.equal(fs.readFileSync(badHost, 'utf8'), bytes, what);
        } else {
          assert.equal(fs.readFileSync(settingsHost, 'utf8'), bytes, what);
          assert.ok(!fs.existsSync(badHost), what);
        }
      }
      fs.rmSync(settingsHost, { force: true });
      fs.rmSync(badHost, { force: true });
    });

    test('the temporary files of a save killed halfway are removed at the next start, and only they', async () => {
      const HOUR_MS = 3_600_000;
      const killed = ['settings.json.4242-0.tmp', 'settings.json.17-3.tmp'];
      // A save of another process going on right now, and names that only
      // look alike.
      const kept = ['settings.json.4243-0.tmp', 'settings.json.x-0.tmp', 'settings.json.tmp',
        'other.json.4242-0.tmp', 'settings.json.4242-0.tmp.keep'];
      const at = (n) => path.join(stateHost, n);
      try {
        for (const n of [...killed, ...kept]) fs.writeFileSync(at(n), '{"version":1');
        for (const n of [...killed, ...kept.slice(1)]) {
          const t = (Date.now() - HOUR_MS) / 1000;
          fs.utimesSync(at(n), t, t);
        }
        await start();
        await stop();
        for (const n of killed) assert.ok(!fs.existsSync(at(n)), `${n} removed`);
        for (const n of kept) assert.ok(fs.existsSync(at(n)), `${n} kept`);
      } finally {
        for (const n of [...killed, ...kept]) fs.rmSync(at(n), { force: true });
      }
    });

    describe('cleans with choices and their records', () => {
      const planter = new Planter(build);
      const now = Date.now();
      const vid = (n) => W(DOWNLOADS, `tamsel-bb-${n}.mp4`);
      const setTime = (win, ms) => fs.utimesSync(build.hostPath(win), ms / 1000, ms / 1000);

      before(async () => {
        planter.file(vid('a'), 1);
        planter.file(vid('b'), 2);
        planter.file(vid('c'), 4);
        planter.file(vid('old'), 8);
        planter.file(vid('young'), 16);
        setTime(vid('old'), now - 40 * DAY_MS);
        setTime(vid('young'), now - 29 * DAY_MS);
        for (const n of ['a', 'b', 'c']) setTime(vid(n), now - 60 * DAY_MS);
        planter.file(W(BT, 'gone', 'g.bin'), 32);
        planter.file(W(BT, 'kept', 'k.bin'), 64);
        await start();
      });
      after(async () => {
        await stop();
        planter.removeAll();
      });

      test('wrong skip or olderThanDays: a JSON error and no task', async () => {
        const bad = [
          [{ items: ['downloads-video'], skip: 'x' }, 'skip 必须是路径数组'],
          [{ items: ['downloads-video'], skip: [1] }, 'skip 必须是路径数组'],
          [{ items: ['downloads-video'], skip: Array(100001).fill('') }, 'skip 最多 100000 个路径'],
          [{ items: ['downloads-video'], olderThanDays: -1 }, 'olderThanDays 必须是 0 到 3650 的整数'],
          [{ items: ['downloads-video'], olderThanDays: 3651 }, 'olderThanDays 必须是 0 到 3650 的整数'],
          [{ items: ['downloads-video'], olderThanDays: '7' }, 'olderThanDays 必须是 0 到 3650 的整数'],
        ];
        for (const [body, message] of bad) {
          const text = JSON.stringify(body);
          // A skip list that does not fit a request is refused by the server itself.
          if (text.length > 1 << 20) continue;
          assert.equal((await srv.post('/api/clean', body)).text, `{"ok":false,"message":"${message}"}`);
        }
        assert.equal((await srv.post('/api/scan', { olderThanDays: 1.5 })).text,
          '{"ok":false,"message":"olderThanDays 必须是 0 到 3650 的整数"}');
        const st = (await srv.get('/api/status')).json;
        assert.equal(st.finished, false);
        assert.equal(st.busy, false);
      });

      test('scan, details, dry run and clean agree; the record lists exactly what went', async () => {
        const protect = [W(BT, 'kept')];
        assert.equal((await srv.post('/api/settings', { version: 1, protect })).json.ok, true);
        const skip = [vid('B').toUpperCase()];
        const items = ['downloads-video', 'windows-bt'];
        await srv.post('/api/scan', { items, olderThanDays: 30 });
        await waitTask(srv);
        const scan = (await srv.get('/api/result')).json;
        const vids = scan.items.find((i) => i.id === 'downloads-video');
        assert.deepEqual([vids.bytes, vids.files], [1 + 2 + 4 + 8, 4]);
        assert.equal(scan.items.find((i) => i.id === 'windows-bt').bytes, 32);
        const detail = (await srv.get('/api/detail?id=downloads-video&olderThanDays=30')).json;
        assert.deepEqual(detail.files.map((f) => f.p).sort(), ['a', 'b', 'c', 'old'].map(vid).sort());

        const before = listDrive(build);
        const recordsBefore = records();
        await srv.post('/api/clean', { items, dryRun: true, olderThanDays: 30, skip });
        await waitTask(srv);
        const dry = (await srv.get('/api/result')).json;
        assert.deepEqual(diffListings(before, listDrive(build)), { gone: [], added: [], changed: [] });
        assert.deepEqual(records(), recordsBefore, 'a dry run writes no record');
        assert.equal(dry.totalBytes, 1 + 4 + 8 + 32);
        assert.deepEqual(dry.items.find((i) => i.id === 'windows-bt').errors,
          [`${W(BT, 'kept')} : 已设为不清理`]);

        await srv.post('/api/clean', { items, dryRun: false, olderThanDays: 30, skip });
        await waitTask(srv);
        const real = (await srv.get('/api/result')).json;
        assert.equal(real.recordError, undefined);
        assert.equal(real.totalBytes, dry.totalBytes);
        const d = diffListings(before, listDrive(build));
        const gone = [vid('a'), vid('c'), vid('old'), W(BT, 'gone', 'g.bin'), W(BT, 'gone')]
          .map((w) => relKey(build, w)).sort();
        // The videos are the user's own files: moved to the Recycle Bin (on
        // the native drive, C:\$Recycle.Bin).
        if (build.name === 'native') {
          assert.ok(d.added.length > 0 && d.added.every((k) => k.startsWith('$Recycle.Bin')), d.added.join(' '));
          d.added = [];
        }
        assert.deepEqual(d, { gone, added: [], changed: [] });

        const list = (await srv.get('/api/history')).json;
        assert.equal(list.ok, true);
        const rec = list.records[0];
        assert.ok(!recordsBefore.includes(`${rec.id}.tsv`));
        assert.match(rec.id, /^\d{8}-\d{6}(-\d+)?$/);
        assert.ok(Math.abs(rec.time - Date.now()) < 3_600_000, `time ${rec.time}`);
        assert.deepEqual(Object.keys(rec), ['id', 'time', 'items', 'bytes', 'files', 'skipped', 'complete']);
        assert.equal(rec.complete, true);
        assert.deepEqual(rec.items, items);
        assert.deepEqual([rec.bytes, rec.files, rec.skipped], [real.totalBytes, 4, 1]);

        const doc = (await srv.get(`/api/history/record?id=${rec.id}&offset=0&limit=5000`)).json;
        assert.equal(doc.complete, true);
        assert.deepEqual(doc.lines.filter((l) => l.kind === 'deleted' || l.kind === 'recycled')
          .map((l) => relKey(build, l.path)).sort(), gone);
        assert.deepEqual(doc.lines.filter((l) => l.kind === 'recycled').map((l) => l.path).sort(),
          [vid('a'), vid('c'), vid('old')].sort());
        assert.deepEqual(doc.lines.filter((l) => l.kind === 'skipped').map((l) => [l.path, l.reason]),
          [[W(BT, 'kept'), '已设为不清理']]);
        const page = (await srv.get(`/api/history/record?id=${rec.id}&offset=1&limit=2`)).json;
        assert.deepEqual(page.lines, doc.lines.slice(1, 3));
        const found = (await srv.get(`/api/history/record?id=${rec.id}&q=OLD.mp4`)).json;
        assert.deepEqual(found.lines.map((l) => l.path), [vid('old')]);
        assert.equal((await srv.get('/api/history/record?id=..%5Csettings')).text,
          '{"ok":false,"message":"没有这条清理记录"}');
        // Showing a record takes the body's own text "id"; nothing else names one.
        for (const [body, message] of [
          [{ id: 5 }, '没有这条清理记录'], [{ x: { id: rec.id } }, '没有这条清理记录'], [{}, '没有这条清理记录'],
          [`[{"id":"${rec.id}"}]`, '请求不是有效的 JSON 对象'], [`{"id":"${rec.id}"`, '请求不是有效的 JSON 对象'],
          [`{"id":"${rec.id}","id":"${rec.id}"}`, '请求不是有效的 JSON 对象'],
        ])
          assert.equal((await srv.post('/api/history/show', body)).text, `{"ok":false,"message":"${message}"}`,
            JSON.stringify(body));
        await srv.post('/api/settings', { version: 1 });
      });

      test('skip entries and files left out for good mean their file however they are spelt', async () => {
        // Old enough for the age filter; each left out in another spelling of
        // its path: "/" for "\\", doubled separators, "/" in "excluded".
        const names = ['slash', 'doubled', 'excl', 'go'];
        for (const n of names) {
          planter.file(vid(n), 100);
          setTime(vid(n), now - 60 * DAY_MS);
        }
        const settings = (await srv.get('/api/settings')).json.settings;
        const excluded = [['downloads-video', vid('excl').replaceAll('\\', '/')]];
        assert.equal((await srv.post('/api/settings', { ...settings, excluded })).json.ok, true);
        try {
          // What the earlier clean left (b on its skip list, young too
          // young) stays out of this one as well.
          const skip = [vid('slash').replaceAll('\\', '/'), vid('doubled').replaceAll('\\', '\\\\'), vid('b')];
          const before = listDrive(build);
          const r = await srv.post('/api/clean', { items: ['downloads-video'], dryRun: false, olderThanDays: 30, skip });
          assert.equal(r.json.ok, true, r.text);
          await waitTask(srv);
          const d = diffListings(before, listDrive(build));
          if (build.name === 'native') {
            assert.ok(d.added.every((k) => k.startsWith('$Recycle.Bin')), d.added.join(' '));
            d.added = [];
          }
          assert.deepEqual(d, { gone: [relKey(build, vid('go'))], added: [], changed: [] });
          planter.files.delete(vid('go'));
          // A skip entry the system would read as another path starts nothing.
          const bad = [
            [`${vid('slash')}\u0000`, '路径含有控制字符'],
            [W(DOWNLOADS, '..', 'x'), '路径不能包含 . 或 ..'],
            [W(DOWNLOADS, 'nul.mp4'), '路径中含有设备名（如 CON、NUL、COM1）'],
          ];
          const again = listDrive(build);
          for (const [p, why] of bad) {
            assert.equal((await srv.post('/api/clean', { items: ['downloads-video'], dryRun: false, skip: [p] })).text,
              `{"ok":false,"message":"skip 中的路径无法使用：${why}"}`, p);
          }
          assert.deepEqual(diffListings(again, listDrive(build)), { gone: [], added: [], changed: [] });
        } finally {
          assert.equal((await srv.post('/api/settings', settings)).json.ok, true);
        }
      });
    });

    test('a clean killed halfway leaves a record of what it did', async () => {
      const planter = new Planter(build);
      const BIG = 'C:\\$WINDOWS.~WS';
      try {
        for (let d = 0; d < 40; d++) for (let f = 0; f < 50; f++) planter.file(W(BIG, `d${d}`, `f${f}.bin`), 1);
        await start();
        const before = listDrive(build);
        const recordsBefore = records();
        await srv.post('/api/clean', { items: ['windows-bt'], dryRun: false });
        // Killed as soon as its record holds a line: whatever it did by then
        // must be in the record.
        let rec = null;
        for (let i = 0; i < 20_000 && !rec; i++) {
          const mine = records().filter((n) => !recordsBefore.includes(n));
          if (mine.length && fs.readFileSync(path.join(historyHost, mine[0]), 'utf8').split('\n').length > 2) rec = mine[0];
          else await sleep(1);
        }
        assert.ok(rec, 'the clean wrote a record');
        await stop();
        const gone = new Set(diffListings(before, listDrive(build)).gone);
        const text = fs.readFileSync(path.join(historyHost, rec), 'utf8');
        const lines = text.split('\n');
        assert.match(lines[0], /^time=\d{8}-\d{6}\tms=\d+\tdone=[01]\tbytes=\d{20}\tfiles=\d{20}\tskipped=\d{20}\titems=windows-bt$/);
        const recorded = new Set(lines.slice(1).filter((l) => l.startsWith('deleted\t'))
          .map((l) => relKey(build, l.split('\t')[3])));
        for (const k of recorded) assert.ok(gone.has(k), `recorded but still there: ${k}`);
        const missing = [...gone].filter((k) => !recorded.has(k));
        // The one entry removed just before the kill may lack its line.
        assert.ok(missing.length <= 1, `gone without a line: ${missing.slice(0, 5)}`);
        console.log(`# killed after ${recorded.size} of ${before.size} entries (done=${lines[0].includes('done=1') ? 1 : 0})`);
        await start();
        const list = (await srv.get('/api/history')).json;
        const entry = list.records.find((r) => `${r.id}.tsv` === rec);
        assert.equal(entry.files, [...recorded].length);
        // A clean that never ended is marked incomplete.
        assert.equal(entry.complete, lines[0].includes('done=1'));
        await stop();
      } finally {
        await stop();
        planter.removeAll();
      }
    });
  });
}
