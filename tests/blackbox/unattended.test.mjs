// Cleaning without the page, through the real program in both builds:
// "--clean" with its exact console lines and the exact set of deleted files
// (the whole drive listed before and after), "--dry-run", "--quiet", the
// hand-over to a running instance, bad command lines, and "--schedule" with
// the task definition it leaves in the system's task store.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { builds, lines } from './harness.mjs';
import { CATALOGUE } from './catalogue.mjs';
import { windowsEnv, Planter, listDrive, diffListings, relKey, waitTask } from './fixtures.mjs';

// The page's byte format (webui: fmtBytes).
function fmtBytes(n) {
  if (n < 1024) return `${n} B`;
  const units = ['KB', 'MB', 'GB', 'TB'];
  let v = n / 1024;
  let i = 0;
  while (v >= 1023.95 && i < units.length - 1) { v /= 1024; i++; }
  return `${v.toFixed(1)} ${units[i]}`;
}
const nameOf = (id) => CATALOGUE.flatMap((c) => c.items).find((i) => i.id === id).name;
const SIZE = String.raw`\d+(?:\.\d)? (?:B|KB|MB|GB|TB)`;
const summaryRe = (verb, total) =>
  new RegExp(`^\\[ok\\] 共${verb} ${total.replace('.', '\\.')}（C 盘可用 ${SIZE} → ${SIZE}）$`);

// The stand-in keeps task definitions in <root>/tasks, wine in the
// prefix's system32\tasks: both as UTF-16 with a byte-order mark.
function taskFile(build) {
  return build.name === 'native'
    ? path.join(build.root, 'tasks', 'Tamsel', 'AutoClean')
    : path.join(build.prefix, 'drive_c', 'windows', 'system32', 'tasks', 'Tamsel', 'AutoClean');
}
function readTask(build) {
  const f = taskFile(build);
  if (!fs.existsSync(f)) return null;
  const raw = fs.readFileSync(f);
  if (raw[0] === 0xff && raw[1] === 0xfe) return raw.subarray(2).toString('utf16le');
  return raw.toString('utf8').replace(/^\uFEFF/, '');
}
// Wine's Task Scheduler keeps a task but drops its triggers, its principal
// and its action's command when it stores the definition, so that what
// the store holds can only be checked on the stand-in (and on Windows).
const WINE_STORE =
  'wine\'s Task Scheduler stores no trigger, principal or command of a task definition';

test('the byte format of the console is the page\'s', () => {
  // Rounding ties up and the unit step at 1023.95, as toFixed does.
  for (const [n, text] of [[0, '0 B'], [1023, '1023 B'], [1024, '1.0 KB'], [1536, '1.5 KB'],
    [1126, '1.1 KB'], [1075, '1.0 KB'], [1048524, '1023.9 KB'], [1048525, '1.0 MB'],
    [5 * 2 ** 30, '5.0 GB'], [2 ** 50, '1024.0 TB']]) {
    assert.equal(fmtBytes(n), text, String(n));
  }
});

for (const build of builds()) {
  describe(`${build.name} command-line clean and schedule`, { timeout: 300_000 }, () => {
    const env = windowsEnv(build);
    const W = (...parts) => parts.join('\\');
    const planter = new Planter(build);
    const TEMP_ROOT = W(env.TEMP, 'tamsel-bb-cli');
    const LOCAL_ROOT = W(env.LOCALAPPDATA, 'TamselBB CLI');
    let temp;
    let local;
    let keep;

    function plant() {
      temp = [[W(TEMP_ROOT, 'a.dat'), 1536], [W(TEMP_ROOT, 'sub', 'b.bin'), 100], [W(TEMP_ROOT, 'ro.dat'), 7, { readOnly: true }]];
      local = [[W(LOCAL_ROOT, 'x.tmp'), 2048], [W(LOCAL_ROOT, 'deep', 'y.log'), 3]];
      keep = [[W(LOCAL_ROOT, 'keep.txt'), 99]];
      for (const [w, s, o] of [...temp, ...local, ...keep]) if (!planter.files.has(w)) planter.file(w, s, o);
    }
    const sum = (list) => list.reduce((a, [, s]) => a + s, 0);
    const keys = (list) => list.map(([w]) => relKey(build, w)).sort();
    const forget = (list) => { for (const [w] of list) planter.files.delete(w); };

    // What the two items cover, besides our own files: under wine the
    // prefix's %TEMP% and app data are shared, so a run waits until nothing
    // of anyone else's is there.
    function foreign(listing) {
      const tempKey = `${relKey(build, env.TEMP).toLowerCase()}/`;
      const localKey = `${relKey(build, env.LOCALAPPDATA).toLowerCase()}/`;
      const ours = new Set(keys([...temp, ...local]));
      return [...listing].filter(([k, v]) => v.startsWith('file ') && !ours.has(k) &&
        (k.toLowerCase().startsWith(tempKey) ||
         (k.toLowerCase().startsWith(localKey) && /\.(tmp|log)$/i.test(k)))).map(([k]) => k);
    }

    before(() => {
      // The program's own folder (port and token files), which any start
      // makes, is there from the start so that listings compare only files.
      planter.dir(W(env.LOCALAPPDATA, 'tamsel'));
      plant();
    });
    after(() => {
      planter.removeAll();
      fs.rmSync(taskFile(build), { force: true });
    });

    test('--dry-run prints what a clean would free and deletes nothing', async () => {
      assert.deepEqual(foreign(listDrive(build, { all: true })), []);
      const beforeList = listDrive(build);
      const r = await build.run(['--clean', 'local-tmp-log,user-temp', '--dry-run']);
      assert.equal(r.code, 0, r.stdout);
      const got = lines(r.stdout);
      assert.equal(got.length, 3, r.stdout);
      // Catalogue order, whatever order the list gave.
      assert.equal(got[0], `[ok] ${nameOf('user-temp')}：可释放 ${fmtBytes(sum(temp))}，3 个文件`);
      assert.equal(got[1], `[ok] ${nameOf('local-tmp-log')}：可释放 ${fmtBytes(sum(local))}，2 个文件`);
      assert.match(got[2], summaryRe('可释放', fmtBytes(sum(temp) + sum(local))));
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
    });

    test('--clean deletes exactly the items\' files and prints one line per item and the total', async () => {
      const beforeList = listDrive(build);
      const r = await build.run(['--clean', 'user-temp,local-tmp-log,user-temp']);
      assert.equal(r.code, 0, r.stdout);
      const got = lines(r.stdout);
      assert.equal(got.length, 3, r.stdout);
      assert.equal(got[0], `[ok] ${nameOf('user-temp')}：释放 ${fmtBytes(sum(temp))}，3 个文件`);
      assert.equal(got[1], `[ok] ${nameOf('local-tmp-log')}：释放 ${fmtBytes(sum(local))}，2 个文件`);
      assert.match(got[2], summaryRe('释放', fmtBytes(sum(temp) + sum(local))));
      assert.deepEqual(diffListings(beforeList, listDrive(build)),
        { gone: keys([...temp, ...local]), added: [], changed: [] });
      forget([...temp, ...local]);
    });

    test('--quiet prints only the summary; measure-only items are left out without a word', async () => {
      plant();
      const beforeList = listDrive(build);
      const r = await build.run(['--clean', 'pagefile,local-tmp-log', '--quiet']);
      assert.equal(r.code, 0, r.stdout);
      const got = lines(r.stdout);
      assert.equal(got.length, 1, r.stdout);
      assert.match(got[0], summaryRe('释放', fmtBytes(sum(local))));
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: keys(local), added: [], changed: [] });
      forget(local);
    });

    test('Windows\' own tools never run from the command line, even when named', async () => {
      plant();
      const beforeList = listDrive(build);
      const r = await build.run(['--clean', 'component-cleanup,reserved-storage,compact-os,hiber-reduced,restore-points,old-drivers,local-tmp-log']);
      assert.equal(r.code, 0, r.stdout);
      const got = lines(r.stdout);
      assert.equal(got.length, 2, r.stdout);
      assert.equal(got[0], `[ok] ${nameOf('local-tmp-log')}：释放 ${fmtBytes(sum(local))}，2 个文件`);
      assert.match(got[1], summaryRe('释放', fmtBytes(sum(local))));
      const d = diffListings(beforeList, listDrive(build));
      assert.deepEqual(d.gone, keys(local));
      // No tool's output file and no mark of a running tool: nothing started.
      assert.deepEqual(d.added.filter((k) => /tool-/.test(k)), []);
      forget(local);
    });

    test('the automatic clean\'s list, protected paths and --older-than apply; a record is kept', async () => {
      plant();
      const settingsFile = build.hostPath(W(env.LOCALAPPDATA, 'tamsel', 'settings.json'));
      const historyDir = build.hostPath(W(env.LOCALAPPDATA, 'tamsel', 'history'));
      const saved = fs.existsSync(settingsFile) ? fs.readFileSync(settingsFile) : null;
      const recordsBefore = fs.existsSync(historyDir) ? new Set(fs.readdirSync(historyDir)) : new Set();
      // Forty days old: taken by --older-than 30; the rest is younger.
      const old = (Date.now() - 40 * 86400_000) / 1000;
      fs.utimesSync(build.hostPath(local[0][0]), old, old);
      try {
        fs.writeFileSync(settingsFile, JSON.stringify({
          version: 1, selected: ['user-temp', 'pagefile'], olderThanDays: 0, restartExplorer: false,
          protect: [W(LOCAL_ROOT, 'deep')], autoItems: ['local-tmp-log'],
        }));
        const beforeList = listDrive(build);
        // "default" is the automatic clean's list, not the page's ticks;
        // the protected folder's file stays, and so does the young one.
        const r = await build.run(['--clean', '--older-than', '30']);
        assert.equal(r.code, 0, r.stdout);
        const got = lines(r.stdout);
        // The protected file is refused (skipped, "已设为不清理"); the young
        // one is simply not taken.
        assert.deepEqual(got.slice(0, 1), [`[ok] ${nameOf('local-tmp-log')}：释放 ${fmtBytes(local[0][1])}，1 个文件，跳过 1 个`]);
        assert.match(got[1], summaryRe('释放', fmtBytes(local[0][1])));
        assert.equal(got.length, 2, r.stdout);
        const d = diffListings(beforeList, listDrive(build));
        const record = d.added.filter((k) => /\/history(\/[^/]+\.tsv)?$/.test(k));
        assert.deepEqual(d.gone, keys([local[0]]));
        assert.deepEqual(d.added.filter((k) => !record.includes(k)), []);
        // The record names exactly what went.
        const fresh = fs.readdirSync(historyDir).filter((n) => !recordsBefore.has(n));
        assert.equal(fresh.length, 1, fresh.join(' '));
        const rows = fs.readFileSync(path.join(historyDir, fresh[0]), 'utf8').split('\n').slice(1)
          .filter((l) => l.length);
        assert.deepEqual(rows.map((l) => l.split('\t').slice(0, 4)).sort(), [
          ['deleted', 'local-tmp-log', String(local[0][1]), local[0][0]],
          // The protected folder is refused whole, once.
          ['skipped', 'local-tmp-log', '0', W(LOCAL_ROOT, 'deep')],
        ].sort());
        fs.rmSync(path.join(historyDir, fresh[0]));
        planter.files.delete(local[0][0]);
      } finally {
        if (saved) fs.writeFileSync(settingsFile, saved); else fs.rmSync(settingsFile, { force: true });
      }
    });

    // The program's own state (settings, records of cleans) is not part of
    // what a clean may change.
    const own = (k) => /\/tamsel\/(settings\.json|history)(\/|$)/i.test(k);
    const withoutOwn = (d) => ({ gone: d.gone.filter((k) => !own(k)), added: d.added.filter((k) => !own(k)),
      changed: d.changed.filter((k) => !own(k)) });
    const settingsFile = () => build.hostPath(W(env.LOCALAPPDATA, 'tamsel', 'settings.json'));
    const excludedNow = () => JSON.parse(fs.readFileSync(settingsFile(), 'utf8')).excluded;

    test('files left out for good stay out of scans and cleans, over a rescan and a restart, in this process and handed over', async () => {
      plant();
      const saved = fs.existsSync(settingsFile()) ? fs.readFileSync(settingsFile()) : null;
      // One file of each item, the temp one left out under the other item:
      // a file left out is left out by every item.
      const pairs = [['local-tmp-log', temp[0][0]], ['local-tmp-log', local[0][0]]];
      const ids = 'user-temp,local-tmp-log';
      try {
        fs.writeFileSync(settingsFile(), JSON.stringify({ version: 1, excluded: pairs }));
        let srv = await build.start([]);
        try {
          await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
          for (let round = 0; round < 2; round++) {
            await srv.post('/api/scan', { items: ['user-temp', 'local-tmp-log'] });
            await waitTask(srv);
            const scan = (await srv.get('/api/scanresult')).json;
            assert.deepEqual(scan.items.map((i) => [i.id, i.bytes, i.files]), [
              ['user-temp', sum(temp) - temp[0][1], temp.length - 1],
              ['local-tmp-log', sum(local) - local[0][1], local.length - 1]], `scan ${round}`);
            assert.deepEqual((await srv.get('/api/settings')).json.settings.excluded, pairs);
          }
          await srv.stop();
          srv = await build.start([]);
          await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
          assert.deepEqual((await srv.get('/api/settings')).json.settings.excluded, pairs, 'kept over a restart');

          // Handed over to the running instance.
          const beforeList = listDrive(build);
          const r = await build.run(['--clean', ids]);
          assert.equal(r.code, 0, r.stdout);
          assert.equal(lines(r.stdout)[0], `[ok] ${nameOf('user-temp')}：释放 ${fmtBytes(sum(temp.slice(1)))}，2 个文件`);
          await waitTask(srv);
          assert.deepEqual(withoutOwn(diffListings(beforeList, listDrive(build))),
            { gone: keys([...temp.slice(1), ...local.slice(1)]), added: [], changed: [] });
          forget([...temp.slice(1), ...local.slice(1)]);
        } finally {
          await srv.stop();
        }

        // In this process.
        plant();
        const beforeList = listDrive(build);
        const r = await build.run(['--clean', ids]);
        assert.equal(r.code, 0, r.stdout);
        assert.equal(lines(r.stdout)[1], `[ok] ${nameOf('local-tmp-log')}：释放 ${fmtBytes(sum(local.slice(1)))}，1 个文件`);
        assert.deepEqual(withoutOwn(diffListings(beforeList, listDrive(build))),
          { gone: keys([...temp.slice(1), ...local.slice(1)]), added: [], changed: [] });
        forget([...temp.slice(1), ...local.slice(1)]);

        // A file that is gone is forgotten: at start-up, and when a scan starts.
        fs.rmSync(build.hostPath(temp[0][0]));
        forget([temp[0]]);
        srv = await build.start([]);
        try {
          await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
          assert.deepEqual((await srv.get('/api/settings')).json.settings.excluded, [pairs[1]]);
          assert.deepEqual(excludedNow(), [pairs[1]]);
          fs.rmSync(build.hostPath(local[0][0]));
          forget([local[0]]);
          await srv.post('/api/scan', { items: ['local-tmp-log'] });
          await waitTask(srv);
          assert.deepEqual((await srv.get('/api/settings')).json.settings.excluded, []);
          assert.deepEqual(excludedNow(), []);
        } finally {
          await srv.stop();
        }
      } finally {
        if (saved) fs.writeFileSync(settingsFile(), saved); else fs.rmSync(settingsFile(), { force: true });
      }
    });

    test('--clean default runs the automatic clean\'s items and age, never the ticks of the page nor the user\'s own files', async () => {
      plant();
      const saved = fs.existsSync(settingsFile()) ? fs.readFileSync(settingsFile()) : null;
      const DL = W(env.USERPROFILE, 'Downloads', 'tamsel-bb-dl');
      const downloads = [[W(DL, 'WeChatSetup_2.exe'), 300], [W(DL, '毕业设计.rar'), 200], [W(DL, 'disc.iso'), 100]];
      for (const [w, size] of downloads) planter.file(w, size);
      const old = (Date.now() - 40 * 86400_000) / 1000;
      for (const [w] of [...downloads, ...temp, local[0]]) fs.utimesSync(build.hostPath(w), old, old);
      try {
        // The page's ticks hold a medium-risk item of the user's own files;
        // the automatic clean's list holds the local temporary files.
        fs.writeFileSync(settingsFile(), JSON.stringify({
          version: 1, selected: ['downloads-installer', 'user-temp', 'local-tmp-log'], olderThanDays: 0,
          autoItems: ['local-tmp-log'],
        }));
        // In this process: only the day-old file of the automatic clean's item.
        let beforeList = listDrive(build);
        let r = await build.run(['--clean', 'default']);
        assert.equal(r.code, 0, r.stdout);
        assert.deepEqual(lines(r.stdout).slice(0, 1), [`[ok] ${nameOf('local-tmp-log')}：释放 ${fmtBytes(local[0][1])}，1 个文件`]);
        assert.deepEqual(withoutOwn(diffListings(beforeList, listDrive(build))), { gone: keys([local[0]]), added: [], changed: [] });
        forget([local[0]]);

        // Handed over, with --older-than 0: every file of that item, still
        // nothing of the others.
        const srv = await build.start([]);
        try {
          await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
          beforeList = listDrive(build);
          r = await build.run(['--clean', 'default', '--older-than', '0']);
          assert.equal(r.code, 0, r.stdout);
          await waitTask(srv);
          assert.deepEqual(withoutOwn(diffListings(beforeList, listDrive(build))), { gone: keys([local[1]]), added: [], changed: [] });
          forget([local[1]]);
        } finally {
          await srv.stop();
        }
        // Named on the command line, an item of the user's own files is the
        // user's own choice.
        beforeList = listDrive(build);
        r = await build.run(['--clean', 'downloads-installer', '--dry-run']);
        assert.equal(r.code, 0, r.stdout);
        assert.match(lines(r.stdout)[0], new RegExp(`^\\[ok\\] ${nameOf('downloads-installer')}：可释放 `));
        assert.deepEqual(withoutOwn(diffListings(beforeList, listDrive(build))), { gone: [], added: [], changed: [] });
      } finally {
        if (saved) fs.writeFileSync(settingsFile(), saved); else fs.rmSync(settingsFile(), { force: true });
      }
    });

    test('bad command lines print one [err] line, exit 2 and delete nothing', async () => {
      plant();
      const beforeList = listDrive(build);
      for (const args of [
        ['--clean', ''],
        ['--clean', 'user-temp,'],
        ['--clean', 'no-such-item'],
        ['--clean', 'user-temp', '--older-than', '-1'],
        ['--clean', 'user-temp', '--older-than', 'abc'],
        ['--clean', 'user-temp', '--older-than', '3651'],
        ['--clean', 'user-temp', '--older-than'],
        ['--clean', 'user-temp', '--quiet', '--quiet'],
        ['--clean', 'user-temp', '--clean', 'local-tmp-log'],
        ['--clean', 'user-temp', '--selftest'],
        ['8080', '--clean', 'user-temp'],
        ['--clean', 'user-temp', '--no-browser'],
        ['--schedule', 'hourly'],
        ['--schedule'],
        ['--schedule', 'daily', '--clean'],
        ['--schedule', 'daily', '--dry-run'],
      ]) {
        const r = await build.run(args);
        assert.equal(r.code, 2, `${args.join(' ')}: ${r.stdout}`);
        const got = lines(r.stdout);
        assert.equal(got.length, 1, `${args.join(' ')}: ${r.stdout}`);
        assert.match(got[0], /^\[err\] \S/, args.join(' '));
      }
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
      assert.equal(readTask(build), null, 'a bad command line set no schedule');
    });

    test('with an instance running, the clean runs there and its result shows it', async () => {
      plant();
      const srv = await build.start([]);
      try {
        await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
        const beforeList = listDrive(build);
        const r = await build.run(['--clean', 'local-tmp-log']);
        assert.equal(r.code, 0, r.stdout);
        const got = lines(r.stdout);
        assert.deepEqual(got.slice(0, 1), [`[ok] ${nameOf('local-tmp-log')}：释放 ${fmtBytes(sum(local))}，2 个文件`]);
        assert.match(got[1], summaryRe('释放', fmtBytes(sum(local))));
        await waitTask(srv);
        const res = (await srv.get('/api/result')).text;
        assert.match(res, new RegExp(`^\\{"ok":true,"kind":"clean","dryRun":false,"items":\\[\\{"id":"local-tmp-log","bytes":${sum(local)},"files":2,"skipped":0,"errors":\\[\\],"shared":0,"sharedWith":\\[\\]\\}\\]`));
        assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: keys(local), added: [], changed: [] });
        forget(local);
      } finally {
        await srv.stop();
      }
    });

    // A stand-in for a running instance: it answers the probe and the
    // hand-over with documents whose members come in another order, with
    // members the program does not know, and with the old markers inside
    // texts and nested objects. The command line must read each answer by
    // member name, as the one document it is. envAnswer is its answer to the
    // probe.
    async function withFakeInstance(answers, body,
      envAnswer = '{"drive":{"total":1},"name":"Tamsel","version":"0","ok":true}') {
      const localAppData = build.hostPath(env.LOCALAPPDATA);
      const files = ['port.txt', 'token.txt'].map((n) => `${localAppData}/tamsel/${n}`);
      const saved = files.map((f) => (fs.existsSync(f) ? fs.readFileSync(f) : null));
      const token = '0123456789abcdef'.repeat(2);
      const requests = [];
      const server = http.createServer((req, res) => {
        let text = '';
        req.on('data', (c) => { text += c; });
        req.on('end', () => {
          requests.push({ method: req.method, url: req.url, token: req.headers['x-tamsel-token'], body: text });
          const answer = req.url === '/api/env'
            ? envAnswer
            : answers(req.url, requests.filter((r) => r.url === req.url).length);
          res.writeHead(200, { 'Content-Type': 'application/json; charset=utf-8',
            'Content-Length': Buffer.byteLength(answer), Connection: 'close' });
          res.end(answer);
        });
      });
      await new Promise((r) => server.listen(0, '127.0.0.1', r));
      try {
        fs.mkdirSync(`${localAppData}/tamsel`, { recursive: true });
        fs.writeFileSync(files[0], `${server.address().port}\n`);
        fs.writeFileSync(files[1], `${token}\n`);
        await body(requests, token);
      } finally {
        await new Promise((r) => server.close(r));
        files.forEach((f, i) => (saved[i] === null ? fs.rmSync(f, { force: true }) : fs.writeFileSync(f, saved[i])));
      }
    }

    test('a running instance\'s answers are read by member name, whatever their order and extra members', async () => {
      plant();
      const result = '{"freeAfter":3000000,"extra":{"items":[{"id":"user-temp","bytes":9,"files":9,"skipped":9}]},' +
        '"items":[{"errors":["\\"id\\":\\"user-temp\\",\\"bytes\\":7"],"sharedWith":[],"skipped":1,"files":2,' +
        '"id":"local-tmp-log","bytes":2048,"shared":0},{"bytes":5,"skipped":0,"id":"user-temp","files":1}],' +
        '"freeBefore":1000000,"totalFiles":3,"ok":true,"kind":"clean","dryRun":false,"totalBytes":2053}';
      await withFakeInstance((url, n) => {
        if (url === '/api/clean') return '{"dryRun":false,"note":"\\"started\\":false","started":true,"ok":true}';
        if (url === '/api/status') {
          return n < 3
            ? '{"cur":"\\"busy\\":false,\\"finished\\":true","finished":false,"busy":true,"ok":true}'
            : '{"phase":"done","finished":true,"busy":false,"ok":true}';
        }
        return result;
      }, async (requests, token) => {
        const beforeList = listDrive(build);
        // A dry run, so that a probe that failed would delete nothing here.
        const r = await build.run(['--clean', 'local-tmp-log,user-temp', '--dry-run'], { timeout: 60_000 });
        assert.equal(r.code, 0, r.stdout);
        assert.deepEqual(lines(r.stdout), [
          `[ok] ${nameOf('local-tmp-log')}：可释放 2.0 KB，2 个文件，跳过 1 个`,
          `[ok] ${nameOf('user-temp')}：可释放 5 B，1 个文件`,
          `[ok] 共可释放 2.0 KB（C 盘可用 ${fmtBytes(1000000)} → ${fmtBytes(3000000)}）`,
        ]);
        // It waited for the status that says the task ended, then asked once for the result.
        assert.deepEqual(requests.map((q) => q.url),
          ['/api/env', '/api/clean', '/api/status', '/api/status', '/api/status', '/api/result']);
        assert.ok(requests.slice(1).every((q) => q.token === token));
        const sent = JSON.parse(requests[1].body);
        assert.deepEqual([...sent.items].sort(), ['local-tmp-log', 'user-temp']);
        assert.equal(sent.dryRun, true);
        // The clean ran there: nothing here changed.
        assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
      });
    });

    test('a program on the port that only looks like us gets the probe alone, never the token; the clean runs here', async () => {
      plant();
      for (const envAnswer of [
        // "200" and the name in the answer, but no environment document.
        '<html><title>Tamsel</title>HTTP/1.1 200 OK</html>',
        '{"ok":true,"name":"Tamsel-x","note":"Tamsel 200"}',
        '{"ok":false,"name":"Tamsel"}',
      ]) {
        await withFakeInstance(() => '{"ok":true,"started":true}', async (requests) => {
          assert.deepEqual(foreign(listDrive(build, { all: true })), []);
          const beforeList = listDrive(build);
          const r = await build.run(['--clean', 'local-tmp-log', '--dry-run'], { timeout: 60_000 });
          assert.equal(r.code, 0, `${envAnswer}: ${r.stdout}`);
          const got = lines(r.stdout);
          assert.equal(got.length, 2, r.stdout);
          assert.equal(got[0], `[ok] ${nameOf('local-tmp-log')}：可释放 ${fmtBytes(sum(local))}，2 个文件`, envAnswer);
          assert.match(got[1], summaryRe('可释放', fmtBytes(sum(local))), envAnswer);
          assert.deepEqual(requests, [{ method: 'GET', url: '/api/env', token: undefined, body: '' }], envAnswer);
          assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
        }, envAnswer);
      }
    });

    test('a refusal of the running instance is its message, wherever "started" appears', async () => {
      plant();
      for (const [answer, line] of [
        ['{"message":"已有任务在运行","ok":false}', '[err] 已有任务在运行'],
        ['{"ok":false,"detail":{"started":true},"message":"别的原因 \\"started\\":true"}', '[err] 别的原因 "started":true'],
        ['{"ok":true,"started":"true"}', '[err] 运行中的实例没有接受清理请求'],
        ['{"ok":true,"started":true', '[err] 运行中的实例没有接受清理请求'],
        ['{"message":"半句","ok":tru', '[err] 运行中的实例没有接受清理请求'],
        ['{"ok":true,"started":true,"started":true}', '[err] 运行中的实例没有接受清理请求'],
      ]) {
        await withFakeInstance(() => answer, async (requests) => {
          const beforeList = listDrive(build);
          const r = await build.run(['--clean', 'local-tmp-log', '--dry-run'], { timeout: 60_000 });
          assert.equal(r.code, 1, `${answer}: ${r.stdout}`);
          assert.deepEqual(lines(r.stdout), [line], answer);
          assert.deepEqual(requests.map((q) => q.url), ['/api/env', '/api/clean'], answer);
          assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
        });
      }
    });

    test('a result the running instance cannot give as a document is said to be unreadable', async () => {
      plant();
      for (const result of [
        // The members the old reader looked for, but no one document.
        '{"ok":true,"items":[{"id":"local-tmp-log","bytes":5,"files":1,"skipped":0}],"totalBytes":5,"freeBefore":1,"freeAfter":2',
        // An item without its figures.
        '{"ok":true,"items":[{"id":"local-tmp-log"}],"freeBefore":1,"freeAfter":2}',
        '[{"id":"local-tmp-log","bytes":5,"files":1,"skipped":0}]',
      ]) {
        await withFakeInstance((url) => (url === '/api/clean' ? '{"ok":true,"started":true,"dryRun":false}'
          : url === '/api/status' ? '{"ok":true,"busy":false,"finished":true}' : result), async () => {
          const r = await build.run(['--clean', 'local-tmp-log', '--dry-run'], { timeout: 60_000 });
          assert.equal(r.code, 1, `${result}: ${r.stdout}`);
          assert.deepEqual(lines(r.stdout), ['[err] 运行中的实例的清理结果无法读取'], result);
        });
      }
    });

    test('a record the running instance could not write is said here, and a clean it stopped exits 1', async () => {
      plant();
      const items = '"items":[{"id":"local-tmp-log","bytes":2048,"files":2,"skipped":0}],"freeBefore":1000000,"freeAfter":1002048';
      const stopped = '清理记录无法写入，清理已停止，之后的文件没有删除';
      for (const [tail, code, warn] of [
        [`,"recordError":"${stopped}","recordStopped":true`, 1, `[warn] ${stopped}`],
        [',"recordError":"清理记录无法写入"', 0, '[warn] 清理记录无法写入'],
        ['', 0, null],
      ]) {
        const result = `{"ok":true,"kind":"clean","dryRun":true,${items}${tail}}`;
        await withFakeInstance((url) => (url === '/api/clean' ? '{"ok":true,"started":true,"dryRun":true}'
          : url === '/api/status' ? '{"ok":true,"busy":false,"finished":true}' : result), async () => {
          const r = await build.run(['--clean', 'local-tmp-log', '--dry-run'], { timeout: 60_000 });
          assert.equal(r.code, code, `${tail}: ${r.stdout}`);
          assert.deepEqual(lines(r.stdout), [
            ...(warn ? [warn] : []),
            `[ok] ${nameOf('local-tmp-log')}：可释放 2.0 KB，2 个文件`,
            `[ok] 共可释放 2.0 KB（C 盘可用 ${fmtBytes(1000000)} → ${fmtBytes(1002048)}）`,
          ], tail);
        });
      }
    });

    test('--schedule sets, replaces and removes the task; the API reports it', async (t) => {
      fs.rmSync(taskFile(build), { force: true });
      // The definition reaches the Task Scheduler from memory: a folder in
      // the way of any file name in %TEMP% stops nothing, and nothing is
      // written there.
      const decoy = build.hostPath(`${env.TEMP}\\tamsel-autoclean.xml`);
      fs.mkdirSync(decoy, { recursive: true });
      const definitions = () => fs.readdirSync(path.dirname(decoy)).filter((n) => /autoclean|\.xml$/i.test(n)).sort();
      const tempBefore = definitions();
      let r = await build.run(['--schedule', 'daily']);
      assert.deepEqual(definitions(), tempBefore);
      fs.rmSync(decoy, { recursive: true, force: true });
      assert.equal(r.code, 0, r.stdout);
      assert.match(lines(r.stdout)[0], /^\[ok\] 已设置自动清理：每天（/);
      let xml = readTask(build);
      assert.ok(xml, 'the task is in the store');
      // Both builds: the definition the program handed over, as the store
      // keeps it (the stand-in keeps it whole; wine keeps the settings).
      assert.match(xml, /<DisallowStartIfOnBatteries>true<\/DisallowStartIfOnBatteries>/);
      assert.match(xml, /<StopIfGoingOnBatteries>true<\/StopIfGoingOnBatteries>/);
      assert.match(xml, /<RunOnlyIfIdle>true<\/RunOnlyIfIdle>/);
      assert.match(xml, /<MultipleInstancesPolicy>IgnoreNew<\/MultipleInstancesPolicy>/);
      const stored = build.name === 'native';
      if (stored) {
        assert.match(xml, /<ScheduleByDay><DaysInterval>1<\/DaysInterval><\/ScheduleByDay>/);
        assert.match(xml, /<Arguments>--clean default --quiet<\/Arguments>/);
        assert.match(xml, /<RunLevel>LeastPrivilege<\/RunLevel>/);
        assert.match(xml, /<LogonType>InteractiveToken<\/LogonType>/);
        const command = /<Command>([^<]*)<\/Command>/.exec(xml)[1];
        assert.equal(command, build.binary);
      } else {
        t.diagnostic(`skip (in part): ${WINE_STORE}`);
      }

      r = await build.run(['--schedule', 'weekly']);
      assert.equal(r.code, 0, r.stdout);
      assert.match(lines(r.stdout)[0], /^\[ok\] 已设置自动清理：每周（/);
      xml = readTask(build);
      assert.ok(xml, 'the replaced task is in the store');
      if (stored) {
        assert.match(xml, /<ScheduleByWeek>/);
        assert.doesNotMatch(xml, /<ScheduleByDay>/);
      }

      const srv = await build.start([]);
      try {
        await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
        const state = (await srv.get('/api/schedule')).json;
        assert.equal(state.ok, true);
        if (stored) {
          // The trigger's first moment, tomorrow at the start hour, local time.
          const { start, ...rest } = state;
          assert.deepEqual(rest, { ok: true, every: "weekly", program: build.binary,
            programExists: true, isThisProgram: true });
          assert.match(start, /^\d{4}-\d\d-\d\dT\d\d:00:00$/);
        }
        const off = (await srv.post('/api/schedule', { every: 'off' })).json;
        assert.deepEqual(off, { ok: true, every: 'off', program: '', programExists: false, isThisProgram: false, start: '' });
        assert.equal(readTask(build), null);
        const bad = (await srv.post('/api/schedule', { every: 'hourly' })).json;
        assert.equal(bad.ok, false);
        // Only the body's own text "every" names an interval; nothing else
        // changes the task.
        const onlyThree = '{"ok":false,"message":"自动清理只能设为 off、daily 或 weekly"}';
        for (const [body, answer] of [
          [{ every: 1 }, onlyThree], [{ every: ['daily'] }, onlyThree], [{ x: { every: 'daily' } }, onlyThree],
          ['[{"every":"daily"}]', '{"ok":false,"message":"请求不是有效的 JSON 对象"}'],
          ['{"every":"daily"', '{"ok":false,"message":"请求不是有效的 JSON 对象"}'],
          ['{"every":"off","every":"daily"}', '{"ok":false,"message":"请求不是有效的 JSON 对象"}'],
        ]) {
          assert.equal((await srv.post('/api/schedule', body)).text, answer, JSON.stringify(body));
          assert.equal(readTask(build), null, JSON.stringify(body));
        }
        const daily = (await srv.post('/api/schedule', { every: 'daily' })).json;
        assert.equal(daily.ok, true);
        if (stored) assert.equal(daily.every, 'daily');
        assert.ok(readTask(build), 'the page set the task again');
      } finally {
        await srv.stop();
      }

      r = await build.run(['--schedule', 'off']);
      assert.equal(r.code, 0, r.stdout);
      assert.match(lines(r.stdout)[0], /^\[ok\] 已关闭自动清理/);
      assert.equal(readTask(build), null);
      r = await build.run(['--schedule', 'off']);
      assert.equal(r.code, 0, r.stdout);
      assert.equal(lines(r.stdout)[0], '[ok] 自动清理本来就是关闭的');
    });

    test('a schedule whose program was moved is reported as such', { skip: build.name === 'native' ? false : WINE_STORE }, async () => {
      // The task store holds a definition naming a program that is gone.
      fs.mkdirSync(path.dirname(taskFile(build)), { recursive: true });
      const set = await build.run(['--schedule', 'daily']);
      assert.equal(set.code, 0, set.stdout);
      const moved = readTask(build).replace(/<Command>[^<]*<\/Command>/, '<Command>C:\\tamsel-bb-gone\\tamsel.exe</Command>');
      fs.writeFileSync(taskFile(build), Buffer.concat([Buffer.from([0xff, 0xfe]), Buffer.from(moved, 'utf16le')]));
      const srv = await build.start([]);
      try {
        await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
        const state = (await srv.get('/api/schedule')).json;
        const { start, ...rest } = state;
        assert.deepEqual(rest, { ok: true, every: 'daily', program: 'C:\\tamsel-bb-gone\\tamsel.exe', programExists: false, isThisProgram: false });
        assert.match(start, /^\d{4}-\d\d-\d\dT\d\d:00:00$/);
      } finally {
        await srv.stop();
      }
      fs.rmSync(taskFile(build), { force: true });
    });

    if (build.name === 'native') {
      test('a Task Scheduler that cannot register the task is reported with its code and exit 1', async () => {
        // The stand-in's task store cannot be written when a file is in the way.
        const store = path.join(build.root, 'tasks');
        fs.rmSync(store, { recursive: true, force: true });
        fs.writeFileSync(store, 'in the way');
        try {
          const r = await build.run(['--schedule', 'daily']);
          assert.equal(r.code, 1, r.stdout);
          assert.equal(lines(r.stdout).length, 1, r.stdout);
          assert.match(lines(r.stdout)[0], /^\[err\] 无法登记计划任务 Tamsel\\AutoClean（任务计划程序的错误码 0x[0-9A-F]{8}）$/);
        } finally {
          fs.rmSync(store, { force: true });
        }
      });
    }
  });
}
